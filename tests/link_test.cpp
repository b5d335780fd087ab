// Links as the output: another user's links and files put at the output's name, a failed
// check's removal, and how many links are followed. What is written or removed is the file that
// was looked at, by the rules the kernel would apply.
#include "output_fixture.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

using link_test = output_test;

TEST_F(link_test, a_file_put_at_the_output_between_the_look_and_the_open_is_refused)
{
    // Held in its open of the output's name, after the name was looked at, the tool finds
    // another file there: another user's, in a sticky directory whose owner had the name; or,
    // where it may only write in place, any other file.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to give files away";
    }
    arrange(before::nothing);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(path("boot"), fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(path("sketch"), fs::perms::owner_read | fs::perms::others_read);
    const struct {
        const char* place;
        fs::perms mode;
        uid_t place_owner;
        uid_t caller;
        int open;  ///< which open of the output's name the swap comes before
        std::string reason;
    } cases[] = {
        {"shared", fs::perms::all | fs::perms::sticky_bit, owner, 0, 1, "Permission denied"},
        {"locked", fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec, 0,
         nobody, 2, "the output changed during the run"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.place);
        const std::string place = path(c.place);
        fs::create_directory(place);
        const std::string out = write_file(std::string(c.place) + "/out", old_bytes);
        const std::string other = write_file(std::string(c.place) + "/other", boot_bytes);
        ASSERT_EQ(chown(out.c_str(), c.place_owner == 0 ? c.caller : c.place_owner, 0), 0);
        ASSERT_EQ(chown(other.c_str(), someone, someone), 0);
        fs::permissions(out, fs::perms::all);
        fs::permissions(other, fs::perms::all);
        ASSERT_EQ(chown(place.c_str(), c.place_owner, c.place_owner), 0);
        fs::permissions(place, c.mode);
        run_options held;
        held.user = c.caller;
        held.hold = held_call::input_open;
        running_fwsplice run{{path("boot"), path("sketch"), out}, held};
        run.wait_for_held_call_on("out", c.open);
        fs::rename(other, out);
        run.go_on();
        const run_result result = run.wait();
        EXPECT_EQ(result.out, merged() + "Unable to open output file " + out + " for writing \n");
        EXPECT_EQ(result.err, "fwsplice: " + out + ": " + c.reason + "\n");
        EXPECT_EQ(result.status, 254);
        EXPECT_EQ(read_file(out), boot_bytes);
    }
}

TEST_F(link_test, a_link_put_at_the_output_during_the_run_never_leads_root_through_it)
{
    // Held after the output's path was followed and found empty, the tool finds another
    // user's link there, to a file it must never write: while it checks the path with the
    // kernel's own walk, or in its first write. Where the machine protects symbolic links,
    // the kernel's walk refuses the link before the tool's own comparison sees it.
    if (geteuid() != 0) {
        GTEST_SKIP() << "root's runs are the ones another user's links are aimed at";
    }
    arrange(before::nothing);
    fs::create_directory(path("shared"));
    fs::permissions(path("shared"), fs::perms::all | fs::perms::sticky_bit);
    fs::create_directory(path("private"));
    write_file("private/kept", old_bytes);
    const snapshot kept = take_snapshot(path("private"));
    const std::string out = path("shared/out");
    const std::string unopened = "Unable to open output file " + out + " for writing \n";
    const std::string unwritten = "Unable to write output file " + out + "\n";
    const bool kernel_refuses = kernel_protection("protected_symlinks") != 0;
    const std::string refused = "Permission denied";
    const struct {
        held_call hold;
        bool unnamed;
        const char* link;
        std::string message;
        std::string reason;
    } cases[] = {
        {held_call::path_lookup, true, "../private/kept", unopened,
         kernel_refuses ? refused : "the path changed while it was followed"},
        {held_call::path_lookup, true, "out", unopened,
         kernel_refuses ? refused : "Too many levels of symbolic links"},
        {held_call::first_write, true, "../private/kept", unwritten,
         "the output changed during the run"},
        {held_call::first_write, false, "../private/kept", unwritten,
         "the output changed during the run"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason + (c.unnamed ? ", unnamed" : ", named"));
        run_options held;
        held.hold = c.hold;
        held.no_unnamed_files = !c.unnamed;
        running_fwsplice run{{path("boot"), path("sketch"), out}, held};
        if (c.hold == held_call::path_lookup) {
            run.wait_for_held_call_on(out);
        } else {
            run.wait_for_held_call();
        }
        fs::create_symlink(c.link, out);
        ASSERT_EQ(lchown(out.c_str(), nobody, nobody), 0);
        run.go_on();
        const run_result result = run.wait();
        EXPECT_EQ(result.out, merged() + c.message);
        EXPECT_EQ(result.err, "fwsplice: " + out + ": " + c.reason + "\n");
        EXPECT_EQ(result.status, 254);
        EXPECT_EQ(take_snapshot(path("private")), kept);
        EXPECT_EQ(entries_in(path("shared")), 1);
        fs::remove(out);
    }
}

TEST_F(link_test, a_failed_check_removes_what_the_merge_would_replace_and_nothing_else)
{
    // The image the build flashes is the file its link leads to; another user's link in a
    // shared sticky directory is not followed, as the merge would not follow it.
    if (geteuid() != 0) {
        GTEST_SKIP() << "root's runs are the ones another user's links are aimed at";
    }
    arrange(before::nothing);
    fs::create_directory(path("shared"));
    fs::permissions(path("shared"), fs::perms::all | fs::perms::sticky_bit);
    fs::create_directory(path("private"));
    write_file("private/kept", old_bytes);
    write_file("real.bin", old_bytes);
    fs::create_symlink("real.bin", path("image.bin"));
    // A FIFO is what a flash step may read from: never removed, nor through a link.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    fs::create_symlink("fifo", path("link-to-fifo"));
    fs::create_symlink("../private/kept", path("shared/image.bin"));
    ASSERT_EQ(lchown(path("shared/image.bin").c_str(), nobody, nobody), 0);
    run_options check;
    check.program = FWSPLICE_IMAGE_BINARY;
    const struct {
        std::string image;
        std::string gone;
        std::string kept;
        std::string err;
    } cases[] = {{path("image.bin"), path("real.bin"), "", ""},
                 {path("fifo"), "", "", ""},
                 {path("link-to-fifo"), "", "", ""},
                 {path("shared/image.bin"), "", path("private/kept"),
                  "fwsplice: " + path("shared/image.bin") + ": not removed: Permission denied\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const run_result result =
            run_fwsplice({"--flash-size=0x2000", path("boot"), path("sketch"), c.image}, check);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err.substr(result.err.find('\n') + 1), c.err);
        EXPECT_TRUE(c.gone.empty() || !fs::exists(c.gone));
        EXPECT_TRUE(fs::is_symlink(c.image) || c.image == path("fifo"));
        EXPECT_TRUE(c.kept.empty() || read_file(c.kept) == old_bytes);
    }
    EXPECT_TRUE(fs::is_fifo(path("fifo")));
}

TEST_F(link_test, forty_links_are_followed_and_a_forty_first_is_refused)
{
    for (const int links : {40, 41}) {
        SCOPED_TRACE(links);
        fs::remove_all(dir);
        fs::create_directory(dir);
        arrange(before::nothing);
        for (int link = 1; link <= links; ++link) {
            fs::create_symlink("link" + std::to_string(link),
                               path("link" + std::to_string(link - 1)));
        }
        const std::string out = path("link0");
        const run_result result = run_fwsplice({path("boot"), path("sketch"), out});
        EXPECT_EQ(result.out, merged() + (links == 40 ? "Wrote combined file to " + out + " \n"
                                                      : "Unable to open output file " + out +
                                                            " for writing \n"));
        EXPECT_EQ(fs::exists(path("link" + std::to_string(links))), links == 40);
    }
    // Forty links, the last to /dev/stdout, which the tool opens through /proc itself: its
    // own count is all that stops the image going into the file standard output writes to.
    fs::remove(path("link39"));
    fs::create_symlink("/dev/stdout", path("link39"));
    run_options output_to_file;
    output_to_file.standard_output = write_file("log", "");
    const run_result result =
        run_fwsplice({path("boot"), path("sketch"), path("link0")}, output_to_file);
    EXPECT_EQ(result.status, 254);
    EXPECT_EQ(result.err, "fwsplice: " + path("link0") + ": Too many levels of symbolic links\n");
    EXPECT_EQ(read_file(path("log")),
              merged() + "Unable to open output file " + path("link0") + " for writing \n");
}

}  // namespace
