// The build's check before a merge, run as the build runs it: which files it may remove, how it
// reads its numbers, and how far a file's bytes may reach before it is converted.
#include "check_harness.hpp"
#include "merge_fixture.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using check_test = merge_fixture;

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
    } cases[] = {{"8195", full},
                 {"0x2003", full},
                 {"0", "fwsplice: image.bin: 8195 bytes; "},
                 {" -1", ""},
                 {"-1", ""},
                 {"010", ""},
                 {"0x", ""},
                 {"18446744073709551616", ""}};
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
