// The build's check before a merge, run as the build runs it: where an input built here is
// linked, read from ELF, HEX and S-record files that may be hostile; which files it may remove;
// how it reads its numbers; and how far a file's bytes may reach before it is converted.
#include "merge_fixture.hpp"
#include "run_fwsplice.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using check_test = merge_fixture;

struct segment {
    std::uint32_t type;
    std::uint64_t address;
    std::uint64_t file_size;
};

/// The ELF layout a test changes: by default a header, then its program headers.
struct elf_shape {
    bool wide = false;
    bool big_endian = false;
    std::vector<segment> segments;
    std::uint64_t table = 0;       ///< program headers' offset; 0: right after the header
    std::uint16_t entry_size = 0;  ///< 0: the format's
    std::uint16_t entries = 0;     ///< 0: as many as segments
    std::size_t cut_to = 0;        ///< cut the file to this many bytes; 0: whole
};

void put(std::string& bytes, std::size_t at, std::uint64_t value, std::size_t width, bool big)
{
    if (bytes.size() < at + width) {
        bytes.resize(at + width, '\0');
    }
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t index = big ? at + width - 1 - i : at + i;
        bytes[index] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::string make_elf(const elf_shape& shape)
{
    const bool wide = shape.wide;
    const bool big = shape.big_endian;
    const std::size_t header = wide ? 64 : 52;
    const std::size_t entry = wide ? 56 : 32;
    std::string bytes(header, '\0');
    bytes.replace(0, 4,
                  "\x7f"
                  "ELF");
    bytes[4] = wide ? 2 : 1;
    bytes[5] = big ? 2 : 1;
    bytes[6] = 1;
    const std::uint64_t table = shape.table != 0 ? shape.table : header;
    put(bytes, wide ? 32 : 28, table, wide ? 8 : 4, big);
    put(bytes, wide ? 54 : 42, shape.entry_size != 0 ? shape.entry_size : entry, 2, big);
    put(bytes, wide ? 56 : 44, shape.entries != 0 ? shape.entries : shape.segments.size(), 2, big);
    for (std::size_t i = 0; i < shape.segments.size(); ++i) {
        const std::size_t at = header + i * entry;
        put(bytes, at, shape.segments[i].type, 4, big);
        put(bytes, at + (wide ? 24 : 12), shape.segments[i].address, wide ? 8 : 4, big);
        put(bytes, at + (wide ? 32 : 16), shape.segments[i].file_size, wide ? 8 : 4, big);
    }
    bytes.resize(shape.cut_to != 0 ? shape.cut_to : header + shape.segments.size() * entry, '\0');
    return bytes;
}

/// Runs fwsplice-check, or another program the tests need.
run_result run_program(const std::string& program, const std::vector<std::string>& args)
{
    run_options options;
    options.program = program;
    return run_fwsplice(args, options);
}

run_result run_check(const std::vector<std::string>& args)
{
    return run_program(FWSPLICE_CHECK_BINARY, args);
}

TEST_F(check_test, an_app_is_checked_where_its_elf_file_says_it_loads)
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
TEST_F(check_test, the_address_is_where_objcopy_starts_what_a_linker_made)
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
        EXPECT_EQ(result.err, at == wanted
                                  ? "fwsplice: image.bin: 8195 bytes; bootloader 4 of 8192\n"
                                  : "fwsplice: " + std::string(c.role) + " program is linked at " +
                                        at + ", but the image puts it at " + wanted + " (" +
                                        placed + "): link it at " + wanted + "\n");
        EXPECT_EQ(result.status, at == wanted ? 0 : 1);
    }
}

// Both inputs known: without FLASH_ORIGIN the sketch must lie 0x2000 above the bootloader; with
// one, two inputs off by the same amount point at FLASH_ORIGIN, not at both programs.
TEST_F(check_test, the_two_inputs_are_checked_against_each_other)
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

// A failed check removes the old image; never an input named as IMAGE or HEX, by its path, a
// link or a second hard link, nor the file an input was converted from.
TEST_F(check_test, a_check_never_removes_an_input)
{
    const std::string swapped = pattern(9000, 8);
    const struct {
        const char* what;
        const char* image;
        const char* hex;
        const char* flash_size;
        int status;
    } cases[] = {
        {"IMAGE the sketch, too large", "app.bin", nullptr, "1000", 1},
        {"IMAGE a link to the sketch", "link-to-app", nullptr, "1000", 1},
        {"IMAGE a hard link to the sketch", "hard-app", nullptr, "1000", 1},
        {"IMAGE the bootloader, with data past its region", "boot.bin", nullptr, "0", 1},
        {"IMAGE the ELF file of the sketch", "app.elf", nullptr, "1000", 1},
        {"HEX the sketch, on a check that passes", "image.bin", "app.bin", "0", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string app = write_file("app.bin", "app");
        const std::string boot =
            write_file("boot.bin", std::string(c.image) == "boot.bin" ? swapped : "boot");
        const std::string elf = write_file("app.elf", "not ELF: its address is not known");
        fs::remove(path("link-to-app"));
        fs::remove(path("hard-app"));
        fs::create_symlink(app, path("link-to-app"));
        fs::create_hard_link(app, path("hard-app"));
        write_file("image.bin", "old image");
        std::vector<std::string> args{path(c.image),  boot,  app, c.flash_size,
                                      "--sketch-elf", "app", elf};
        if (c.hex != nullptr) {
            args.insert(args.end(), {"--hex", path(c.hex)});
        }
        const run_result result = run_check(args);
        EXPECT_EQ(result.status, c.status);
        const std::string kept = path(c.hex != nullptr ? c.hex : c.image);
        EXPECT_NE(result.err.find("fwsplice: " + kept + ": not removed: it is an input\n"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(read_file(app), "app");
        EXPECT_EQ(read_file(elf), "not ELF: its address is not known");
        EXPECT_EQ(read_file(boot), std::string(c.image) == "boot.bin" ? swapped : "boot");
    }
}

// Numbers as the helper writes them: decimal or 0x hexadecimal; a sign, a space or a leading 0
// (octal to strtoull) is refused, never read as another number.
TEST_F(check_test, numbers_are_read_as_the_build_writes_them)
{
    const std::string full = "fwsplice: image.bin: 8195 of 8195 bytes of flash (100.0%); ";
    const struct {
        const char* text;
        std::string err;
    } cases[] = {{"8195", full},   {"0x2003", full},
                 {"0X2003", full}, {"0", "fwsplice: image.bin: 8195 bytes; "},
                 {" -1", ""},      {"-1", ""},
                 {"+9000", ""},    {"010", ""},
                 {"9000 ", ""},    {"0x", ""},
                 {"", ""},         {"18446744073709551616", ""}};
    const std::string boot = write_file("boot.bin", "boot");
    const std::string app = write_file("app.bin", "app");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        const run_result result = run_check({path("image.bin"), boot, app, c.text});
        EXPECT_EQ(result.status, c.err.empty() ? 2 : 0);
        EXPECT_EQ(result.err, c.err.empty() ? std::string("fwsplice: FLASH_SIZE ") + c.text +
                                                  " is not a number\n"
                                            : c.err + "bootloader 4 of 8192\n");
    }
}

// Before a file is converted: its format for objcopy on standard output, and a refusal where
// its bytes reach past what an image holds of it, before objcopy makes a file of the gap.
TEST_F(check_test, a_source_is_bounded_before_it_is_converted)
{
    const std::string option_bytes =
        ":020000040800F2\n:0420000001020304D2\n:020000041FFFDC\n:0400000001020304F2\n";
    const struct {
        const char* what;
        std::string bytes;
        const char* limit;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {"raw bytes", "raw", "8192", 0, "binary\n", ""},
        {"Intel HEX", ":020000040800F2\n:0420000001020304D2\n", "8192", 0, "ihex\n", ""},
        {"S-records", "S3090800200001020304C4\n", "4", 0, "srec\n", ""},
        {"ELF32, big-endian", make_elf({false, true, {{1, 0x08002000, 8}}}), "8192", 0,
         "elf32-big\n", ""},
        {"ELF64", make_elf({true, false, {{1, 0x08002000, 8}}}), "8192", 0, "elf64-little\n", ""},
        {"S-records one byte too long", "S3090800200001020304C4\n", "3", 1, "",
         "fwsplice: SOURCE has data at 0x08002003, past the 3 bytes from its start at 0x08002000 "
         "that the image holds of it\n"},
        {"option bytes far past the sketch", option_bytes, "57344", 1, "",
         "fwsplice: SOURCE has data at 0x1fff0000, past the 57344 bytes from its start at "
         "0x08002000 that the image holds of it\n"},
        {"option bytes far past a bootloader", option_bytes, "8192", 1, "",
         "fwsplice: SOURCE has data at 0x1fff0000, past the 8192 bytes from its start at "
         "0x08002000 that the image holds of it (the bootloader's region: are BOOTLOADER and "
         "SKETCH swapped?)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string source = write_file("source", c.bytes);
        const run_result result = run_check({"--source", source, c.limit});
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        std::string err = c.err;
        if (const std::size_t at = err.find("SOURCE"); at != std::string::npos) {
            err.replace(at, 6, source);
        }
        EXPECT_EQ(result.err, err);
    }
}

}  // namespace
