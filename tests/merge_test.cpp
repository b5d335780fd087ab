#include "merge_fixture.hpp"
#include "run_fwsplice.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;

namespace {

const std::string usage =
    "\nUsage. fwsplice bootloader.bin sketch.bin output.bin - Incorrect number of args\n\n";

using merge_test = merge_fixture;

TEST_F(merge_test, wrong_argument_counts_print_usage_and_create_nothing)
{
    const std::string boot = write_file("boot", pattern(10, 1));
    const std::string sketch = write_file("sketch", pattern(10, 2));
    const std::string out = path("out");
    const std::vector<std::vector<std::string>> cases{
        {}, {boot}, {boot, sketch}, {boot, sketch, out, out}, {boot, sketch, out, out, out}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args.size());
        const run_result result = run_fwsplice(args);
        EXPECT_EQ(result.out, usage);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 255);
        EXPECT_FALSE(fs::exists(out));
    }
}

/// The warning for a bootloader whose bytes past 8192 are not all 0xFF.
std::string dropped(const std::string& path, long long boot_size)
{
    return "fwsplice: warning: " + path + ": " + std::to_string(boot_size - 0x2000) +
           " bytes past offset 8192 dropped, not all 0xFF\n";
}

TEST_F(merge_test, places_bootloader_gap_and_sketch_byte_for_byte)
{
    // A bootloader's bytes past 8192 are cut either way; `tail` says what they hold: the
    // pattern, erased flash (0xFF), or 0xFF but for the last byte.
    enum tail_bytes { data, erased, erased_but_last };
    const struct {
        std::size_t boot;
        std::size_t sketch;
        tail_bytes tail;
    } cases[] = {{0, 0, data},         {0, 1, data},
                 {1, 0, data},         {1, 100, data},
                 {8191, 3, data},      {8192, 3, data},
                 {8193, 3, data},      {8193, 0, data},
                 {20000, 100, data},   {5000, 70000, data},
                 {100, 5 << 20, data}, {8193, 3, erased_but_last},
                 {200000, 10, erased}, {200000, 10, erased_but_last}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.boot) + " + " + std::to_string(c.sketch) + ", tail " +
                     std::to_string(c.tail));
        std::string boot_bytes = pattern(c.boot, 3);
        if (c.tail != data) {
            std::fill(boot_bytes.begin() + 0x2000, boot_bytes.end(), '\xFF');
        }
        if (c.tail == erased_but_last) {
            boot_bytes.back() = '\x00';
        }
        const std::string sketch_bytes = pattern(c.sketch, 4);
        const std::string boot = write_file("boot", boot_bytes);
        const std::string sketch = write_file("sketch", sketch_bytes);
        const std::string out = path("out");
        fs::remove(out);

        const run_result result = run_fwsplice({boot, sketch, out});
        EXPECT_EQ(result.out, progress(boot, static_cast<long long>(c.boot), sketch,
                                       static_cast<long long>(c.sketch)) +
                                  "Wrote combined file to " + out + " \n");
        const bool warned = c.boot > 0x2000 && c.tail != erased;
        EXPECT_EQ(result.err, warned ? dropped(boot, static_cast<long long>(c.boot)) : "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read_file(out), expected_image(boot_bytes, sketch_bytes));
    }

    // A file in a format that a programmer reads as records is merged as it is, with a warning
    // for each; raw bytes that only start like one are raw.
    const std::string hex = ":020000040800F2\n:0400000001020304F2\n:00000001FF\n";
    const std::string srec = "S0060000617070B8\r\nS3090800200001020304C4\r\n";
    const std::string elf = std::string("\x7f"
                                        "ELF\x01\x01\x01",
                                        7) +
                            pattern(100, 9);
    const auto warning = [this](const char* name, const char* format) {
        return "fwsplice: warning: " + path(name) + " is " + format +
               ", not a raw image: its bytes are merged as they are (fwsplice-image reads it "
               "as it is)\n";
    };
    const struct {
        std::string boot;
        std::string sketch;
        std::string err;
    } formats[] = {
        {hex, "raw", warning("boot", "an Intel HEX file")},
        {"raw", elf, warning("sketch", "an ELF file")},
        {srec, hex,
         warning("boot", "a Motorola S-record file") + warning("sketch", "an Intel HEX file")},
        // A byte-order mark, or a blank first line, before the first record.
        {"\xEF\xBB\xBF" + hex, "\r\n\n" + srec,
         warning("boot", "an Intel HEX file") + warning("sketch", "a Motorola S-record file")},
        {":0400000001020304F3\n", ":hello\n", ""},
        {"S0060000617070\n",
         "\x7f"
         "EL",
         ""},
    };
    for (const auto& c : formats) {
        SCOPED_TRACE(c.boot + " + " + c.sketch);
        const std::string boot = write_file("boot", c.boot);
        const std::string sketch = write_file("sketch", c.sketch);
        const run_result result = run_fwsplice({boot, sketch, path("out")});
        EXPECT_EQ(result.out, progress(boot, static_cast<long long>(c.boot.size()), sketch,
                                       static_cast<long long>(c.sketch.size())) +
                                  "Wrote combined file to " + path("out") + " \n");
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read_file(path("out")), expected_image(c.boot, c.sketch));
    }
}

TEST_F(merge_test, replaces_long_names_and_the_bootloader_itself)
{
    // Names as long as a file system allows, 255 bytes, leave no room for the temporary
    // file's suffix and still get replaced whole.
    const std::string long_name(250, 'l');
    const std::string longest_name(255, 'm');
    for (const std::string& target :
         {std::string("longer"), std::string("boot"), long_name, longest_name}) {
        SCOPED_TRACE(target);
        const std::string boot = write_file("boot", pattern(3000, 5));
        const std::string sketch = write_file("sketch", pattern(5000, 6));
        const std::string out =
            fs::exists(path(target)) ? path(target) : write_file(target, pattern(99999, 7));

        const run_result result = run_fwsplice({boot, sketch, out});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.substr(result.out.rfind("Wrote")),
                  "Wrote combined file to " + out + " \n");
        EXPECT_TRUE(read_file(out) == expected_image(pattern(3000, 5), pattern(5000, 6)));
    }
    const std::string new_longest(255, 'n');
    EXPECT_EQ(run_fwsplice({path("boot"), path("sketch"), path(new_longest)}).status, 0);
    EXPECT_TRUE(read_file(path(new_longest)) == read_file(path("longer")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 6);

    // A path just short of PATH_MAX (4096 bytes with its end) is made, then replaced.
    std::string deep = dir;
    while (deep.size() + 402 < 4095) {  // room for one more directory and the name
        deep += "/" + std::string(200, 'd');
        fs::create_directory(deep);
    }
    const std::string near_path_max = deep + "/" + std::string(4094 - deep.size() - 1, 'p');
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(near_path_max.size());
        EXPECT_EQ(run_fwsplice({path("boot"), path("sketch"), near_path_max}).status, 0);
        EXPECT_TRUE(read_file(near_path_max) == read_file(path("longer")));
        EXPECT_EQ(std::distance(fs::directory_iterator(deep), fs::directory_iterator()), 1);
    }
}

TEST_F(merge_test, failures_print_one_message_return_minus_two_and_leave_no_output)
{
    const std::string boot = write_file("boot", pattern(100, 8));
    const std::string sketch = write_file("sketch", pattern(200, 9));
    const std::string out = path("out");
    const std::string missing = path("missing");
    const std::string huge_boot = sparse_file("huge-boot", off_t{INT_MAX} + 1);
    const std::string max_boot = sparse_file("max-boot", INT_MAX);
    const std::string huge_sketch = sparse_file("huge-sketch", off_t{INT_MAX} - 0x2000 + 1);
    const std::string full = device("full");
    const std::string merged = progress(boot, 100, sketch, 200);
    const auto why = [](const std::string& culprit, const std::string& reason) {
        return "fwsplice: " + culprit + ": " + reason + "\n";
    };
    const std::string irregular = "not a regular file";
    const struct {
        std::vector<std::string> args;
        std::string out;
        std::string err;
        run_options options;
    } cases[] = {
        {{missing, sketch, out},
         "Unable to open bootloader binary file " + missing + "\n",
         why(missing, "No such file or directory"),
         {}},
        {{boot, missing, out},
         opened("bootloader", boot, 100) + "Unable to open sketch binary file " + missing + "\n",
         why(missing, "No such file or directory"),
         {}},
        {{boot, sketch, missing + "/out"},
         merged + "Unable to open output file " + missing + "/out for writing \n",
         why(missing + "/out", "No such file or directory"),
         {}},
        {{dir, sketch, out},
         "Unable to read bootloader binary file " + dir + "\n",
         why(dir, irregular),
         {}},
        {{"/dev/zero", sketch, out},
         "Unable to read bootloader binary file /dev/zero\n",
         why("/dev/zero", irregular),
         {}},
        {{huge_boot, sketch, out},
         "Bootloader binary file " + huge_boot + " is too large\n",
         why(huge_boot, "File too large"),
         {}},
        {{max_boot, huge_sketch, out},
         opened("bootloader", max_boot, INT_MAX) + "Sketch binary file " + huge_sketch +
             " is too large\n",
         why(huge_sketch, "File too large"),
         {}},
        {{boot, sketch, full},
         merged + "Unable to write output file " + full + "\n",
         why(full, "No space left on device"),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const run_result result = run_fwsplice(c.args, c.options);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, 254);
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_TRUE(fs::is_character_file(full));
}

TEST_F(merge_test, an_input_that_does_not_hold_its_measured_size_fails)
{
    // sysfs reports a length of a page for files that hold a few bytes; procfs reports 0 for
    // files that hold text.
    std::vector<std::string> inputs{"/proc/version"};
    const std::string short_file = "/sys/devices/system/cpu/online";
    struct stat info {};
    if (stat(short_file.c_str(), &info) == 0 &&
        static_cast<std::size_t>(info.st_size) > read_file(short_file).size()) {
        inputs.push_back(short_file);
    }
    const std::string boot = write_file("boot", pattern(100, 10));
    const std::string sketch = write_file("sketch", pattern(200, 11));
    for (const std::string& input : inputs) {
        ASSERT_EQ(stat(input.c_str(), &info), 0);
        for (const bool as_bootloader : {true, false}) {
            SCOPED_TRACE(input + (as_bootloader ? " as bootloader" : " as sketch"));
            const std::string& used_boot = as_bootloader ? input : boot;
            const std::string& used_sketch = as_bootloader ? sketch : input;
            const long long sketch_size = as_bootloader ? 200 : info.st_size;
            const run_result result = run_fwsplice({used_boot, used_sketch, path("out")});
            EXPECT_EQ(result.out,
                      opened("bootloader", used_boot, as_bootloader ? info.st_size : 100) +
                          opened("sketch", used_sketch, sketch_size) + allocated(sketch_size) +
                          "Unable to read " + (as_bootloader ? "bootloader" : "sketch") +
                          " binary file " + input + "\n");
            EXPECT_EQ(result.status, 254);
            EXPECT_FALSE(fs::exists(path("out")));
        }
    }
    if (inputs.size() == 1) {
        std::cout << "[ NOTE     ] " << short_file << " does not claim more bytes than it holds "
                  << "here, so a read that falls short is not tried\n";
    }
}

TEST_F(merge_test, a_failed_allocation_of_the_largest_image_is_reported)
{
    if (sanitized()) {
        GTEST_SKIP() << "AddressSanitizer reserves far more address space than RLIMIT_AS allows";
    }
    const std::string boot = write_file("boot", pattern(100, 12));
    const std::string sketch = sparse_file("sketch", off_t{INT_MAX} - 0x2000);
    run_options little_memory;
    little_memory.address_space = 256 << 20;
    const run_result result = run_fwsplice({boot, sketch, path("out")}, little_memory);
    EXPECT_EQ(result.out, opened("bootloader", boot, 100) +
                              opened("sketch", sketch, INT_MAX - 0x2000) +
                              "Unable to open allocate memory\n");
    EXPECT_EQ(result.err, "fwsplice: Cannot allocate memory\n");
    EXPECT_EQ(result.status, 253);
    EXPECT_FALSE(fs::exists(path("out")));
}

}  // namespace
