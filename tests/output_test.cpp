// A run replaces the output with the whole image, or leaves the output and every input exactly
// as they were: on a failed write, a full disk, an interruption, and through links.
#include "output_fixture.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

TEST_F(output_test, a_run_replaces_only_the_file_the_output_leads_to)
{
    const mode_t mask = umask(0);
    umask(mask);
    for (const bool unnamed : {true, false}) {
        for (const before state : every_state()) {
            SCOPED_TRACE(std::to_string(static_cast<int>(state)) +
                         (unnamed ? ", unnamed" : ", named"));
            fs::remove_all(dir);
            fs::create_directory(dir);
            const std::string out = arrange(state);
            snapshot expected = take_snapshot(dir);
            const std::string target = replaced(state);
            expected.try_emplace(
                target, entry{fs::file_type::regular, 0666U & ~mask, geteuid(), getegid(), ""});
            expected[target].content = expected_image(boot_bytes, sketch_bytes);
            run_options options;
            options.no_unnamed_files = !unnamed;

            const run_result result = run_fwsplice({path("boot"), path("sketch"), out}, options);
            EXPECT_EQ(result.out, merged() + "Wrote combined file to " + out + " \n");
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(take_snapshot(dir), expected);
        }
    }
}

TEST_F(output_test, a_failed_write_leaves_the_output_and_the_inputs_as_they_were)
{
    // SIGXFSZ as a shell leaves it and as a caller that ignores it leaves it; the temporary
    // file with and without a name while it is written.
    for (const auto& [ignored, unnamed] :
         {std::pair{false, true}, std::pair{true, true}, std::pair{false, false}}) {
        for (const before state : every_state()) {
            SCOPED_TRACE(std::to_string(static_cast<int>(state)) +
                         (ignored ? ", SIGXFSZ ignored" : ", SIGXFSZ default") +
                         (unnamed ? ", unnamed" : ", named"));
            fs::remove_all(dir);
            fs::create_directory(dir);
            const std::string out = arrange(state);
            const snapshot expected = take_snapshot(dir);

            run_options over_the_limit;
            over_the_limit.file_size = 4096;
            over_the_limit.ignore_sigxfsz = ignored;
            over_the_limit.no_unnamed_files = !unnamed;
            const run_result result =
                run_fwsplice({path("boot"), path("sketch"), out}, over_the_limit);
            EXPECT_EQ(result.out, merged() + "Unable to write output file " + out + "\n");
            EXPECT_EQ(result.err, "fwsplice: " + out + ": File too large\n");
            EXPECT_EQ(result.status, 254);
            EXPECT_EQ(take_snapshot(dir), expected);
        }
    }
}

TEST_F(output_test, a_full_disk_keeps_the_old_image)
{
    if (!mount_disk("size=256k")) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    sketch_bytes = pattern(300000, 24);
    arrange(before::nothing);
    const std::string out = path("disk/out");
    for (const bool old : {false, true}) {
        SCOPED_TRACE(old ? "old image" : "new output");
        if (old) {
            write_file("disk/out", pattern(100000, 25));
        }
        const snapshot expected = take_snapshot(path("disk"));

        const run_result result = run_fwsplice({path("boot"), path("sketch"), out});
        EXPECT_EQ(result.out, merged() + "Unable to write output file " + out + "\n");
        EXPECT_EQ(result.status, 254);
        EXPECT_EQ(take_snapshot(path("disk")), expected);
    }
}

TEST_F(output_test, an_interrupted_run_keeps_the_old_image_or_empties_it_in_place)
{
    // The tool is held inside its first write to a file, so every signal arrives mid-write,
    // however busy the machine. In place, the test first writes part of an image itself, as
    // a write cut short would leave it. Signals of every class, with what a user relies on.
    enum class then {
        cleans_up,  ///< ends the run by the signal: old image kept, in place emptied
        cannot,     ///< SIGKILL, which no process can catch: nothing runs after it
        fault,      ///< says the tool itself went wrong, and is left alone: as SIGKILL
        runs_on     ///< ignored by default or turned into write errors: the image is written
    };
    const struct {
        int signal_number;
        then outcome;
    } signals[] = {
        {SIGHUP, then::cleans_up},   {SIGINT, then::cleans_up},    {SIGQUIT, then::cleans_up},
        {SIGTERM, then::cleans_up},  {SIGUSR1, then::cleans_up},   {SIGUSR2, then::cleans_up},
        {SIGALRM, then::cleans_up},  {SIGVTALRM, then::cleans_up}, {SIGPROF, then::cleans_up},
        {SIGIO, then::cleans_up},    {SIGPWR, then::cleans_up},    {SIGSTKFLT, then::cleans_up},
        {SIGRTMIN, then::cleans_up}, {SIGRTMAX, then::cleans_up},  {SIGKILL, then::cannot},
        {SIGSEGV, then::fault},      {SIGBUS, then::fault},        {SIGPIPE, then::runs_on},
        {SIGXFSZ, then::runs_on},    {SIGCHLD, then::runs_on},     {SIGWINCH, then::runs_on},
        {SIGURG, then::runs_on},     {SIGCONT, then::runs_on},
    };
    enum class road { unnamed, named, in_place };
    for (const road way : {road::unnamed, road::named, road::in_place}) {
        for (const auto& sent : signals) {
            SCOPED_TRACE(std::to_string(sent.signal_number) + ", road " +
                         std::to_string(static_cast<int>(way)));
            if (sent.outcome == then::fault && sanitized()) {
                continue;  // AddressSanitizer takes a fault as its own, and reports it
            }
            const bool uncaught = sent.outcome == then::cannot || sent.outcome == then::fault;
            fs::remove_all(dir);
            fs::create_directory(dir);
            const std::string out = arrange(before::old_image);
            const snapshot expected = take_snapshot(dir);
            run_options options;
            options.no_unnamed_files = way == road::named;
            options.hold = held_call::first_write;
            options.descriptor_3 = way == road::in_place ? out : "";

            running_fwsplice run{
                {path("boot"), path("sketch"), way == road::in_place ? "/dev/fd/3" : out}, options};
            run.wait_for_held_call();
            if (way == road::in_place) {
                write_file("out", boot_bytes);
            }
            kill(run.pid(), sent.signal_number);
            if (sent.outcome == then::runs_on) {
                run.go_on();
            }
            const run_result result = run.wait();

            snapshot after = take_snapshot(dir);
            if (sent.outcome == then::runs_on) {
                EXPECT_EQ(result.status, 0);
                EXPECT_EQ(after["out"].content, expected_image(boot_bytes, sketch_bytes));
                after["out"] = expected.at("out");
            }
            if (sent.outcome != then::runs_on) {
                EXPECT_EQ(result.status, 128 + sent.signal_number);
            }
            if (sent.outcome != then::runs_on && way == road::in_place) {
                // Whole or emptied; only what no process can catch leaves it torn.
                EXPECT_EQ(after["out"].content, uncaught ? boot_bytes : "");
                after["out"].content = expected.at("out").content;
            }
            // Only a run that could not clean up may leave a temporary file behind, and only
            // one that had a name while it was written.
            const auto left = std::find_if(after.begin(), after.end(), [](const auto& item) {
                return item.first.find(".fwsplice-") != std::string::npos;
            });
            EXPECT_EQ(left != after.end(), uncaught && way == road::named);
            if (left != after.end()) {
                after.erase(left);
            }
            EXPECT_EQ(after, expected);
        }
    }
}

TEST_F(output_test, devices_and_pipes_are_written_in_place)
{
    const std::string both = merged();
    arrange(before::nothing);
    const std::string null = device("null");
    // The caller's own descriptor of a regular file: the file it is open on must get the image.
    const std::string held = write_file("held", old_bytes);
    struct stat held_before {};
    stat(held.c_str(), &held_before);
    run_options holding{};
    holding.descriptor_3 = held;
    run_options holding_over_the_limit = holding;
    holding_over_the_limit.file_size = 8192;
    run_options reader_gone;
    reader_gone.broken_pipe = 3;
    run_options holding_the_sketch;
    holding_the_sketch.descriptor_3 = path("sketch");
    run_options failing_close = holding;
    failing_close.failing_close = true;
    run_options streams_closed = holding;
    streams_closed.standard_streams_closed = true;
    run_options output_on_null;
    output_on_null.standard_output = null;
    // Standard output a pipe, whose reader the test holds open.
    const std::string pipe = path("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const std::unique_ptr<std::FILE, scratch_closer> pipe_reader{
        fdopen(open(pipe.c_str(), O_RDONLY | O_NONBLOCK), "rb")};
    ASSERT_TRUE(pipe_reader);
    run_options output_on_pipe;
    output_on_pipe.standard_output = pipe;
    // Standard output's own file would get the progress lines inside the image.
    const std::string mixed = " for writing \n";
    const struct {
        std::string out;
        run_options options;
        std::string message;
        int status;
        const char* held_after;  ///< what the held file holds after the run, where it matters
    } cases[] = {
        {null, {}, "Wrote combined file to " + null + " \n", 0, nullptr},
        {"/dev/fd/3", reader_gone, "Unable to write output file /dev/fd/3\n", 254, nullptr},
        {"/dev/stdout", {}, "Unable to open output file /dev/stdout" + mixed, 254, nullptr},
        {"/dev/fd/1", {}, "Unable to open output file /dev/fd/1" + mixed, 254, nullptr},
        {"/dev/fd/3", holding_over_the_limit, "Unable to write output file /dev/fd/3\n", 254, ""},
        {"/dev/fd/3", failing_close, "Unable to write output file /dev/fd/3\n", 254, ""},
        // An input is never written in place: only a replacement could leave it whole.
        {"/dev/fd/3", holding_the_sketch, "Unable to open output file /dev/fd/3" + mixed, 254,
         nullptr},
        // With no standard output, the tool's own descriptors stay clear of descriptor 1.
        {"/dev/fd/3", streams_closed, "", 0, nullptr},
        // A device mixes nothing, even when standard output goes to it too.
        {null, output_on_null, "", 0, nullptr},
        {"/dev/stdout", output_on_pipe, "", 254, nullptr},
        {"/dev/fd/3", holding, "Wrote combined file to /dev/fd/3 \n", 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out + " " + c.message);
        const run_result result = run_fwsplice({path("boot"), path("sketch"), c.out}, c.options);
        const bool silenced =
            c.options.standard_streams_closed || !c.options.standard_output.empty();
        EXPECT_EQ(result.out, silenced ? "" : both + c.message);
        EXPECT_EQ(result.status, c.status);
        if (c.held_after != nullptr) {
            EXPECT_EQ(read_file(held), c.held_after);  // whole, or emptied
        }
    }
    std::string piped(65536, '\0');
    const ssize_t got = read(fileno(pipe_reader.get()), piped.data(), piped.size());
    piped.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    EXPECT_EQ(piped, both + "Unable to open output file /dev/stdout for writing \n");
    EXPECT_TRUE(fs::is_character_file(null));
    struct stat held_after {};
    stat(held.c_str(), &held_after);
    EXPECT_EQ(held_after.st_ino, held_before.st_ino);
    EXPECT_EQ(read_file(held), expected_image(boot_bytes, sketch_bytes));
    EXPECT_EQ(read_file(path("sketch")), sketch_bytes);
}

TEST_F(output_test, a_signal_while_a_failed_in_place_write_is_cleaned_up_still_empties_it)
{
    // Held in the ftruncate() that empties the torn file, after the one that began the write.
    const std::string out = arrange(before::old_image);
    run_options options;
    options.descriptor_3 = out;
    options.file_size = 8192;
    options.hold = held_call::truncation;
    running_fwsplice run{{path("boot"), path("sketch"), "/dev/fd/3"}, options};
    run.wait_for_held_call();
    run.go_on();
    run.wait_for_held_call();
    kill(run.pid(), SIGTERM);
    EXPECT_EQ(run.wait().status, 128 + SIGTERM);
    EXPECT_EQ(read_file(out), "");
}

TEST_F(output_test, a_reader_of_standard_output_that_went_away_does_not_change_the_status)
{
    const std::string out = arrange(before::nothing);
    run_options stdout_gone;
    stdout_gone.broken_pipe = 1;
    const run_result result = run_fwsplice({path("boot"), path("sketch"), out}, stdout_gone);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(out), expected_image(boot_bytes, sketch_bytes));
}

}  // namespace
