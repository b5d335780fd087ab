// fwsplice-image: inputs read by their content (ELF, HEX and S-record files that may be
// hostile, and what a real linker and objcopy made), each compared with objcopy's own raw
// image; the checks before a byte is written, each leaving no stale image; and its numbers.
#include "check_harness.hpp"
#include "merge_fixture.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using image_test = merge_fixture;

constexpr const char* origin = "--flash-origin=0x08000000";

/// The image's size as the summary line gives it.
std::string summary(const std::string& image, std::size_t size)
{
    return "fwsplice: " + image + ": " + std::to_string(size) + " bytes; bootloader 4 of 8192\n";
}

TEST_F(image_test, an_app_is_checked_where_its_elf_file_says_it_loads)
{
    constexpr std::uint32_t load = 1;
    constexpr std::uint32_t note = 4;
    const std::vector<segment> right{{note, 0, 16}, {load, 0x08002400, 64}, {load, 0x08002000, 8}};
    const std::string wrong_at_base =
        "fwsplice: sketch APP is linked at 0x08000000, but the image puts it at 0x08002000 "
        "(FLASH_ORIGIN 0x08000000 + 0x2000): link it at 0x08002000\n";
    const auto broken = [](const std::string& reason) { return "fwsplice: APP: " + reason + "\n"; };
    const struct {
        const char* what;
        std::string app;
        int status;
        std::string err;
    } cases[] = {
        {"ELF32, little-endian, linked right", make_elf({false, false, right}), 0, ""},
        {"ELF64, big-endian, linked right", make_elf({true, true, right}), 0, ""},
        {"linked at the flash base", make_elf({false, false, {{load, 0x08000000, 4}}}), 1,
         wrong_at_base},
        {"a segment without bytes below the rest",
         make_elf({true, false, {{load, 0x08000000, 0}, {load, 0x08002000, 4}}}), 0, ""},
        {"an ELF64 address past 4 GiB", make_elf({true, false, {{load, 0x108002000, 4}}}), 1,
         "fwsplice: sketch APP is linked at 0x108002000, but the image puts it at 0x08002000 "
         "(FLASH_ORIGIN 0x08000000 + 0x2000): link it at 0x08002000\n"},
        {"Intel HEX, linked right", ":020000040800F2\n:0420000001020304D2\n:00000001FF\n", 0, ""},
        {"Intel HEX at the flash base", ":020000040800F2\n:0400000001020304F2\n", 1, wrong_at_base},
        {"Intel HEX with a broken checksum", ":020000040800F2\n:0420000001020304D3\n", 1,
         broken("line 2: not an Intel HEX record")},
        {"S-records, linked right", "S0060000617070B8\nS3090800200001020304C4\nS70508002000D2\n", 0,
         ""},
        {"S-records after the termination record: two files joined",
         "S3090800200001020304C4\nS70508002000D2\nS3090800210001020304C3\n", 1,
         broken("line 3: a record after the end of the records")},
        {"records that overlap with different bytes",
         ":020000040800F2\n:0420000001020304D2\n:022002000909CA\n", 1,
         broken("line 3: its data overlap with different bytes at 0x08002002")},
        {"data 4 GiB away, refused before memory is allocated for them",
         ":020000040800F2\n:0420000001020304D2\n:02000004FFFFFC\n:0400000001020304F2\n", 1,
         "fwsplice: image IMAGE would be 4160684036 bytes, larger than the 2147483647 bytes an "
         "image can hold: APP has data at 0xffff0000, past the 2147475455 bytes from its start "
         "at 0x08002000 that the image holds of it\n"},
        {"an unknown class",
         std::string("\x7f"
                     "ELF\x03\x01",
                     6) +
             std::string(10, '\0'),
         1, broken("an ELF file of unknown class or byte order")},
        {"a header cut short", make_elf({true, false, right, 0, 0, 0, 40}), 1,
         broken("its ELF header is cut short")},
        {"program headers at an offset that wraps",
         make_elf({true, false, right, ~std::uint64_t{0} - 8}), 1,
         broken("its ELF program headers lie outside the file")},
        {"more program headers than the file holds", make_elf({false, false, right, 0, 0, 200}), 1,
         broken("its ELF program headers lie outside the file")},
        {"an absurd count", make_elf({false, false, right, 0, 0, 0xFFFF}), 1,
         broken("its ELF header gives no program headers, or an absurd count")},
        {"program headers too small", make_elf({true, false, right, 0, 16}), 1,
         broken("its ELF program headers are smaller than their format")},
        {"no loaded segment with bytes", make_elf({false, false, {{note, 0, 4}, {load, 0, 0}}}), 1,
         broken("its ELF file has no loaded segment with bytes")},
    };
    const std::string boot = write_file("boot.bin", "boot");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = write_file("image.bin", "old image");
        const std::string hex = write_file("image.hex", "old HEX");
        const std::string app = write_file("app", c.app);
        const run_result result = run_image({origin, "--hex", hex, boot, app, image});
        EXPECT_EQ(result.status, c.status);
        std::string err = c.err;
        for (const auto& [name, value] : {std::pair{"APP", app}, std::pair{"IMAGE", image}}) {
            for (std::size_t at = err.find(name); at != std::string::npos; at = err.find(name)) {
                err.replace(at, std::string(name).size(), value);
            }
        }
        EXPECT_EQ(result.err, err);
        EXPECT_EQ(result.out.empty(), c.status != 0) << result.out;
        // A refusal leaves no image that a flash step could take for this one.
        EXPECT_EQ(fs::exists(image), c.status == 0);
        EXPECT_EQ(fs::exists(hex), c.status == 0);
        EXPECT_EQ(read_file(app), c.app);
    }
}

// HEX and S-record files as tools write them, read as objcopy reads them: the sketch's raw
// image must be objcopy's, byte for byte, of the same records as objcopy can read them.
TEST_F(image_test, text_records_are_read_as_objcopy_reads_them)
{
    const std::string data = ":020000040800F2\r\n:0420000001020304D2\r\n";
    const struct {
        const char* what;
        std::string text;
        std::string objcopy_reads;  ///< the same records as objcopy reads them, if not the text
        const char* format;
    } cases[] = {
        {"a blank first line and CRLF", "\r\n" + data, data, "ihex"},
        {"a byte-order mark", "\xEF\xBB\xBF" + data, data, "ihex"},
        {"CR-only line ends", ":020000040800F2\r:0420000001020304D2\r", data, "ihex"},
        {"a segment record after a linear one: both bases count",
         ":020000040800F2\n:020000021000EC\n:0420000001020304D2\n", "", "ihex"},
        {"text after the end record", data + ":00000001FF\r\nbuilt by hand\n", "", "ihex"},
        {"one record, no line end", ":0420000001020304D2", "", "ihex"},
        {"records that overlap with the same bytes", data + ":022002000304D5\n", "", "ihex"},
        {"S1 and S2 records", "S107200001020304CE\nS20801200005060708BC\n", "", "srec"},
    };
    const std::string boot = write_file("boot.bin", "boot");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string app = write_file("app", c.text);
        write_file("clean", c.objcopy_reads.empty() ? c.text : c.objcopy_reads);
        ASSERT_EQ(run_program(FWSPLICE_OBJCOPY,
                              {"-I", c.format, "-O", "binary", path("clean"), path("objcopy.bin")})
                      .status,
                  0);
        const std::string raw = read_file(path("objcopy.bin"));
        const run_result result = run_image({boot, app, path("image.bin")});
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, summary("image.bin", 8192 + raw.size()));
        EXPECT_EQ(read_file(path("image.bin")), expected_image("boot", raw));
    }
}

// Programs a real linker made, as ELF and as objcopy writes them in HEX (segment records between
// 64 KiB and 1 MiB) and S-records (S1, S2, S3): the image must be objcopy's raw image, padded
// and joined as by hand, and the address is where objcopy starts it, with the ELF and program
// headers mapped below the first section, and with 64 KiB pages.
TEST_F(image_test, programs_a_linker_made_are_merged_as_objcopy_reads_them)
{
    const std::string gcc = FWSPLICE_ARM_GCC;
    if (gcc.empty() || std::string(FWSPLICE_SREC_CAT).empty()) {
        GTEST_SKIP() << "needs arm-none-eabi-gcc and srec_cat (Debian: gcc-arm-none-eabi srecord)";
    }
    const std::string objcopy = gcc.substr(0, gcc.size() - 3) + "objcopy";
    const char* const pages = "-Wl,-z,max-page-size=0x1000";
    const struct {
        const char* what;
        const char* role;
        unsigned address;
        const char* format;  ///< what objcopy makes of the ELF file; elf: the file itself
        const char* flags;
    } cases[] = {
        {"an app where the image puts it", "sketch", 0x08002000, "elf", pages},
        {"an app 0x200 in, headers mapped below", "sketch", 0x08002200, "elf", pages},
        {"an app with 64 KiB pages", "sketch", 0x08002000, "elf", "-Wl,-z,max-page-size=0x10000"},
        {"a bootloader 0x100 in, headers mapped below", "bootloader", 0x08000100, "elf", pages},
        {"an app as HEX with segment records", "sketch", 0x00012000, "ihex", pages},
        {"an app as S1 records", "sketch", 0x00002000, "srec", pages},
        {"an app as S2 records", "sketch", 0x00012000, "srec", pages},
        {"a bootloader as S3 records", "bootloader", 0x08000000, "srec", pages},
    };
    // Initialised data, loaded in flash and run in RAM, and an empty allocated section.
    write_file("program.c",
               "__attribute__((section(\".vectors\"), used)) const unsigned vectors[2] = "
               "{0x20001000, 0x09};\nint counter = 5;\nvoid reset(void) { for (;;) ++counter; }\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool sketch = std::string(c.role) == "sketch";
        std::array<char, 16> text{};
        std::snprintf(text.data(), text.size(), "0x%08x", c.address);
        const std::string at = text.data();
        std::snprintf(text.data(), text.size(), "0x%08x", c.address & ~0xFFFFU);
        const std::string flash = text.data();
        write_file("program.ld",
                   "MEMORY { FLASH (rx) : ORIGIN = " + at +
                       ", LENGTH = 16K\n RAM (rw) : ORIGIN = 0x20000000, LENGTH = 4K }\n"
                       "SECTIONS { .text : { KEEP(*(.vectors)) *(.text*) } > FLASH\n"
                       " .preinit_array : { KEEP(*(.preinit_array)) } > FLASH\n"
                       " .data : { *(.data*) } > RAM AT > FLASH }\n");
        const std::string elf = path("program.elf");
        ASSERT_EQ(
            run_program(gcc, {"-mcpu=cortex-m0plus", "-mthumb", "-nostdlib", "-Wl,-e,reset",
                              c.flags, "-T", path("program.ld"), path("program.c"), "-o", elf})
                .status,
            0);
        std::string program = elf;
        if (std::string(c.format) != "elf") {
            program = path(std::string("program.") + c.format);
            ASSERT_EQ(run_program(objcopy, {"-O", c.format, elf, program}).status, 0);
        }
        ASSERT_EQ(run_program(objcopy, {"-O", "binary", elf, path("raw.bin")}).status, 0);
        const std::string raw = read_file(path("raw.bin"));
        // srec_cat reads objcopy's HEX back from the row's address: the row is objcopy's answer.
        ASSERT_EQ(run_program(objcopy, {"-O", "ihex", elf, path("raw.hex")}).status, 0);
        ASSERT_EQ(run_program(FWSPLICE_SREC_CAT, {path("raw.hex"), "-intel", "-offset", "-" + at,
                                                  "-o", path("read-back.bin"), "-binary"})
                      .status,
                  0);
        ASSERT_EQ(raw, read_file(path("read-back.bin")));

        const std::string other = write_file("other.bin", "boot");
        const std::string image = write_file("image.bin", "old image");
        const run_result result = run_image(
            {"--flash-origin", flash, sketch ? other : program, sketch ? program : other, image});
        const unsigned wanted_at = (c.address & ~0xFFFFU) + (sketch ? 0x2000U : 0U);
        std::snprintf(text.data(), text.size(), "0x%08x", wanted_at);
        const std::string wanted = text.data();
        if (at != wanted) {
            std::string refused = "fwsplice: ";
            refused.append(c.role).append(" ").append(program).append(" is linked at ").append(at);
            refused.append(", but the image puts it at ").append(wanted).append(" (FLASH_ORIGIN ");
            refused.append(flash).append(sketch ? " + 0x2000" : "").append("): link it at ");
            refused.append(wanted).append("\n");
            EXPECT_EQ(result.err, refused);
            EXPECT_EQ(result.status, 1);
            EXPECT_FALSE(fs::exists(image));
            continue;
        }
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read_file(image),
                  sketch ? expected_image("boot", raw) : expected_image(raw, "boot"));
    }
}

// The HEX copy is the image at FLASH_ORIGIN as srec_cat and objcopy read it back, with the
// bootloader's entry point as its start address, where its file gives one.
TEST_F(image_test, the_hex_copy_reads_back_as_the_image)
{
    if (std::string(FWSPLICE_SREC_CAT).empty()) {
        GTEST_SKIP() << "needs srec_cat (Debian: srecord)";
    }
    const std::string app = write_file("app.bin", pattern(70000, 3));
    const struct {
        const char* what;
        std::string boot;
        const char* origin;
        const char* start;  ///< the start address record, or none
    } cases[] = {
        {"a raw bootloader: no entry point", "boot", "0x08000000", nullptr},
        {"S-records with an entry point", "S107200001020304CE\nS9032009D3\n", "0x2000",
         ":0400000300002009D0\r\n"},
        {"HEX with a 32-bit entry point, at 0", ":0400000001020304F2\n:04000005080000C12E\n", "0",
         ":04000005080000C12E\r\n"},
        {"an image across 1 MiB, from segment to linear records", "boot", "0xFF000", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string boot = write_file("boot", c.boot);
        const run_result result = run_image(
            {"--hex", path("image.hex"), "--flash-origin", c.origin, boot, app, path("image.bin")});
        ASSERT_EQ(result.status, 0) << result.err;
        const std::string image = read_file(path("image.bin"));
        ASSERT_EQ(run_program(FWSPLICE_SREC_CAT,
                              {path("image.hex"), "-intel", "-offset", std::string("-") + c.origin,
                               "-o", path("srec_cat.bin"), "-binary"})
                      .status,
                  0);
        EXPECT_EQ(read_file(path("srec_cat.bin")), image);
        ASSERT_EQ(run_program(FWSPLICE_OBJCOPY, {"-I", "ihex", "-O", "binary", path("image.hex"),
                                                 path("objcopy.bin")})
                      .status,
                  0);
        EXPECT_EQ(read_file(path("objcopy.bin")), image);
        const std::string hex = read_file(path("image.hex"));
        const bool started = c.start != nullptr;
        const std::string tail = hex.substr(hex.size() - 13 - (started ? 21 : 0));
        EXPECT_EQ(tail, std::string(started ? c.start : "") + ":00000001FF\r\n");
    }
}

// Sizes and addresses as linker scripts write them; a sign, a space, octal or an overflow is a
// usage error, never read as another number.
TEST_F(image_test, numbers_are_read_as_linker_scripts_write_them)
{
    const std::string full = "fwsplice: image.bin: 8195 of 8195 bytes of flash (100.0%); ";
    const struct {
        const char* text;
        std::string out;
    } cases[] = {{"8195", full},
                 {"--flash-size=0x2003", full},
                 {"8K", ""},
                 {"1m", "fwsplice: image.bin: 8195 of 1048576 bytes of flash (0.8%); "},
                 {" -1", ""},
                 {"-1", ""},
                 {"010", ""},
                 {"0x", ""},
                 {"0", ""},
                 {"16384K ", ""},
                 {"18446744073709551615K", ""}};
    const std::string boot = write_file("boot.bin", "boot");
    const std::string app = write_file("app.bin", "app");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        const bool joined = std::string(c.text).rfind("--", 0) == 0;
        const run_result result =
            joined ? run_image({c.text, boot, app, path("image.bin")})
                   : run_image({"--flash-size", c.text, boot, app, path("image.bin")});
        const bool too_small = std::string(c.text) == "8K";
        EXPECT_EQ(result.status, !c.out.empty() ? 0 : too_small ? 1 : 2) << result.err;
        EXPECT_EQ(result.out, c.out.empty() ? "" : c.out + "bootloader 4 of 8192\n");
    }
}

// OUTPUT and HEX are never an input, however the path reaches it: refused before anything is
// written, and the input is left as it was.
TEST_F(image_test, an_output_that_is_an_input_is_refused)
{
    const std::string app = write_file("app.bin", "app");
    const std::string boot = write_file("boot.bin", "boot");
    fs::create_symlink(app, path("link-to-app"));
    fs::create_hard_link(app, path("hard-app"));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{boot, app, path("link-to-app")},
          std::vector<std::string>{boot, app, path("hard-app")},
          std::vector<std::string>{"--hex", boot, boot, app, path("image.bin")}}) {
        SCOPED_TRACE(args.back());
        write_file("image.bin", "old image");
        const run_result result = run_image(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("it would replace an input\n"), std::string::npos) << result.err;
        EXPECT_EQ(read_file(app), "app");
        EXPECT_EQ(read_file(boot), "boot");
        EXPECT_FALSE(fs::exists(path("image.bin")) && args.front() == "--hex");
    }
}

}  // namespace
