// Where the build's check finds an input linked: read from ELF, HEX and S-record files that may
// be hostile, compared with what objcopy makes of files a real linker made, and the two inputs
// against each other and FLASH_ORIGIN.
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

using check_address_test = merge_fixture;

TEST_F(check_address_test, an_app_is_checked_where_its_elf_file_says_it_loads)
{
    constexpr std::uint32_t load = 1;
    constexpr std::uint32_t note = 4;
    const std::vector<segment> right{{note, 0, 16}, {load, 0x08002400, 64}, {load, 0x08002000, 8}};
    const std::string wrong_at_base =
        "fwsplice: sketch app is linked at 0x08000000, but the image puts it at 0x08002000 "
        "(FLASH_ORIGIN 0x08000000 + 0x2000): link it at 0x08002000\n";
    const auto broken = [this](const std::string& reason) {
        return "fwsplice: sketch app: " + path("app.elf") + ": " + reason + "\n";
    };
    const struct {
        const char* what;
        std::string elf;
        int status;
        std::string err;
    } cases[] = {
        {"ELF32, little-endian, linked right", make_elf({false, false, right}), 0, ""},
        {"ELF64, big-endian, linked right", make_elf({true, true, right}), 0, ""},
        {"linked at the flash base", make_elf({false, false, {{load, 0x08000000, 4}}}), 1,
         wrong_at_base},
        {"a segment without bytes below the rest",
         make_elf({true, false, {{load, 0x08000000, 0}, {load, 0x08002000, 4}}}), 0, ""},
        {"not an ELF file", "raw bytes, as objcopy makes them", 0, ""},
        {"an ELF64 address past 4 GiB", make_elf({true, false, {{load, 0x108002000, 4}}}), 1,
         "fwsplice: sketch app is linked at 0x108002000, but the image puts it at 0x08002000 "
         "(FLASH_ORIGIN 0x08000000 + 0x2000): link it at 0x08002000\n"},
        {"Intel HEX, linked right", ":020000040800F2\n:0420000001020304D2\n:00000001FF\n", 0, ""},
        {"Intel HEX at the flash base", ":020000040800F2\n:0400000001020304F2\n", 1, wrong_at_base},
        {"Intel HEX with a broken checksum", ":020000040800F2\n:0420000001020304D3\n", 1,
         broken("its Intel HEX records are broken")},
        {"S-records, linked right", "S0060000617070B8\nS3090800200001020304C4\nS70508002000D2\n", 0,
         ""},
        {"an unknown class",
         std::string("\x7f"
                     "ELF\x03\x01",
                     6) +
             std::string(10, '\0'),
         1, broken("an ELF file of unknown class or byte order")},
        {"a header cut short", make_elf({true, false, right, 0, 0, 0, 40}), 1,
         broken("its ELF header is cut short")},
        {"no more than the magic number",
         "\x7f"
         "ELF",
         1, broken("its ELF header is cut short")},
        {"program headers at an offset that wraps",
         make_elf({true, false, right, ~std::uint64_t{0} - 8}), 1,
         broken("its ELF program headers lie outside the file")},
        {"more program headers than the file holds", make_elf({false, false, right, 0, 0, 200}), 1,
         broken("its ELF program headers lie outside the file")},
        {"an absurd count", make_elf({false, false, right, 0, 0, 0xFFFF}), 1,
         broken("its ELF header gives no program headers, or an absurd count")},
        {"no program headers", make_elf({false, false, {}}), 1,
         broken("its ELF header gives no program headers, or an absurd count")},
        {"program headers too small", make_elf({true, false, right, 0, 16}), 1,
         broken("its ELF program headers are smaller than their format")},
        {"no loaded segment with bytes", make_elf({false, false, {{note, 0, 4}, {load, 0, 0}}}), 1,
         broken("its ELF file has no loaded segment with bytes")},
    };
    const std::string boot = write_file("boot.bin", "boot");
    const std::string app = write_file("app.bin", "app");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = write_file("image.bin", "old image");
        const std::string elf = write_file("app.elf", c.elf);
        const run_result result = run_check(
            {image, boot, app, "0", "--origin", "0x08000000", "--sketch-elf", "app", elf});
        EXPECT_EQ(result.status, c.status);
        const std::string summary = "fwsplice: image.bin: 8195 bytes; bootloader 4 of 8192\n";
        EXPECT_EQ(result.err, c.status == 0 ? summary : c.err);
        EXPECT_EQ(std::filesystem::exists(image), c.status == 0);
    }
}

// Where objcopy -O binary starts the raw image of a file that a real linker made: with the ELF
// and program headers mapped into the first segment below the first section, and with 64 KiB
// pages. srec_cat reads objcopy's own HEX back from the address the row gives and must get
// objcopy's raw image, so the row's address is objcopy's answer, not ours.
TEST_F(check_address_test, the_address_is_where_objcopy_starts_what_a_linker_made)
{
    const std::string gcc = FWSPLICE_ARM_GCC;
    if (gcc.empty() || std::string(FWSPLICE_SREC_CAT).empty()) {
        GTEST_SKIP() << "needs arm-none-eabi-gcc and srec_cat (Debian: gcc-arm-none-eabi srecord)";
    }
    const std::string objcopy = gcc.substr(0, gcc.size() - 3) + "objcopy";
    const struct {
        const char* what;
        const char* role;
        unsigned address;
        const char* flags;
    } cases[] = {
        {"an app where the image puts it", "sketch", 0x08002000, "-Wl,-z,max-page-size=0x1000"},
        {"an app 0x200 in, headers mapped below", "sketch", 0x08002200,
         "-Wl,-z,max-page-size=0x1000"},
        {"an app 0x100 in, headers mapped below", "sketch", 0x08002100,
         "-Wl,-z,max-page-size=0x1000"},
        {"an app with 64 KiB pages", "sketch", 0x08002000, "-Wl,-z,max-page-size=0x10000"},
        {"a bootloader 0x100 in, headers mapped below", "bootloader", 0x08000100,
         "-Wl,-z,max-page-size=0x1000"},
    };
    write_file("program.c",
               "__attribute__((section(\".vectors\"), used)) const unsigned vectors[2] = "
               "{0x20001000, 0x09};\nint counter = 5;\nvoid reset(void) { for (;;) ++counter; }\n");
    const std::string boot = write_file("boot.bin", "boot");
    const std::string app = write_file("app.bin", "app");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string at = "0x" + [&c] {
            std::array<char, 16> text{};
            std::snprintf(text.data(), text.size(), "%08x", c.address);
            return std::string(text.data());
        }();
        write_file("program.ld",
                   "MEMORY { FLASH (rx) : ORIGIN = " + at +
                       ", LENGTH = 16K\n RAM (rw) : ORIGIN = 0x20000000, LENGTH = 4K }\n"
                       "SECTIONS { .text : { KEEP(*(.vectors)) *(.text*) } > FLASH\n"
                       " .data : { *(.data*) } > RAM AT > FLASH }\n");
        const std::string elf = path("program.elf");
        ASSERT_EQ(
            run_program(gcc, {"-mcpu=cortex-m0plus", "-mthumb", "-nostdlib", "-Wl,-e,reset",
                              c.flags, "-T", path("program.ld"), path("program.c"), "-o", elf})
                .status,
            0);
        ASSERT_EQ(run_program(objcopy, {"-O", "binary", elf, path("raw.bin")}).status, 0);
        ASSERT_EQ(run_program(objcopy, {"-O", "ihex", elf, path("raw.hex")}).status, 0);
        ASSERT_EQ(run_program(FWSPLICE_SREC_CAT, {path("raw.hex"), "-intel", "-offset", "-" + at,
                                                  "-o", path("read-back.bin"), "-binary"})
                      .status,
                  0);
        ASSERT_EQ(read_file(path("raw.bin")), read_file(path("read-back.bin")));

        const std::string image = write_file("image.bin", "old image");
        const std::string option = std::string("--") + c.role + "-elf";
        const run_result result =
            run_check({image, boot, app, "0", "--origin", "0x08000000", option, "program", elf});
        const std::string wanted = std::string(c.role) == "sketch" ? "0x08002000" : "0x08000000";
        const std::string placed = std::string(c.role) == "sketch"
                                       ? "FLASH_ORIGIN 0x08000000 + 0x2000"
                                       : "FLASH_ORIGIN 0x08000000";
        std::string refused = "fwsplice: ";
        refused.append(c.role).append(" program is linked at ").append(at);
        refused.append(", but the image puts it at ").append(wanted).append(" (").append(placed);
        refused.append("): link it at ").append(wanted).append("\n");
        EXPECT_EQ(result.err, at == wanted
                                  ? "fwsplice: image.bin: 8195 bytes; bootloader 4 of 8192\n"
                                  : refused);
        EXPECT_EQ(result.status, at == wanted ? 0 : 1);
    }
}

// Both inputs known: without FLASH_ORIGIN the sketch must lie 0x2000 above the bootloader; with
// one, two inputs off by the same amount point at FLASH_ORIGIN, not at both programs.
TEST_F(check_address_test, the_two_inputs_are_checked_against_each_other)
{
    const std::string boot_hex = write_file("boot.hex", ":020000040800F2\n:0400000001020304F2\n");
    const std::string app_at_3000 = write_file("app.srec", "S3090800300001020304B4\n");
    const std::string app_elf =
        write_file("app.elf", make_elf({false, false, {{1, 0x08002000, 8}}}));
    const struct {
        const char* what;
        std::string app;
        std::vector<std::string> origin;
        int status;
        std::string err;
    } cases[] = {
        {"0x2000 apart, no FLASH_ORIGIN",
         app_elf,
         {},
         0,
         "fwsplice: image.bin: 8195 bytes; bootloader 4 of 8192\n"},
        {"0x3000 apart, no FLASH_ORIGIN",
         app_at_3000,
         {},
         1,
         "fwsplice: sketch app is linked at 0x08003000 and bootloader boot at 0x08000000, but the "
         "image puts the sketch 0x2000 above the bootloader: link it at 0x08002000\n"},
        {"both linked for another FLASH_ORIGIN",
         app_elf,
         {"--origin", "0"},
         1,
         "fwsplice: bootloader boot is linked at 0x08000000 and sketch app at 0x08002000, as for "
         "FLASH_ORIGIN 0x08000000, but FLASH_ORIGIN is 0x00000000: FLASH_ORIGIN is likely wrong; "
         "set it to 0x08000000\n"},
    };
    const std::string boot = write_file("boot.bin", "boot");
    const std::string app = write_file("app.bin", "app");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = write_file("image.bin", "old image");
        std::vector<std::string> args{
            image,    boot,           app,   "0",  "--bootloader-elf", "boot",
            boot_hex, "--sketch-elf", "app", c.app};
        args.insert(args.end(), c.origin.begin(), c.origin.end());
        const run_result result = run_check(args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
    }
}

}  // namespace
