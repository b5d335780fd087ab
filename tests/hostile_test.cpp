// The output under hostile conditions: shortages that must never lead to writing in place,
// shared sticky directories, append-only and immutable ones, and a process waiting on an
// input.
#include "output_fixture.hpp"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

using hostile_test = output_test;

TEST_F(hostile_test, no_inode_left_keeps_the_output_and_every_input)
{
    if (!mount_disk("size=1m,nr_inodes=8")) {
        GTEST_SKIP() << "mounting a tmpfs with few inodes needs root";
    }
    const std::string boot = write_file("disk/boot", boot_bytes);
    const std::string sketch = write_file("disk/sketch", sketch_bytes);
    write_file("disk/old", old_bytes);
    for (int i = 0; std::ofstream(path("disk/filler" + std::to_string(i))); ++i) {
    }
    const std::string lines =
        progress(boot, 3000, sketch, static_cast<long long>(sketch_bytes.size()));
    for (const bool unnamed : {true, false}) {
        for (const char* name : {"sketch", "old", "new"}) {
            SCOPED_TRACE(std::string(name) + (unnamed ? ", unnamed" : ", named"));
            const std::string out = path("disk/") + name;
            const snapshot expected = take_snapshot(path("disk"));
            run_options options;
            options.no_unnamed_files = !unnamed;
            const run_result result = run_fwsplice({boot, sketch, out}, options);
            std::string expected_out = lines;
            expected_out.append("Unable to open output file " + out + " for writing \n");
            EXPECT_EQ(result.out, expected_out);
            EXPECT_EQ(result.err, "fwsplice: " + out + ": No space left on device\n");
            EXPECT_EQ(result.status, 254);
            EXPECT_EQ(take_snapshot(path("disk")), expected);
        }
    }
}

TEST_F(hostile_test, a_rename_refused_in_a_sticky_directory_frees_the_copy_before_writing_in_place)
{
    // owner's shared directory holds owner's image, which someone else may write but not
    // rename over. The disk holds the image once beside the old one, but not twice.
    if (!mount_disk("size=256k,mode=1777")) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    sketch_bytes = pattern(150000, 27);
    arrange(before::nothing);
    const std::string out = write_file("disk/out", pattern(60000, 28));
    ASSERT_EQ(chown(path("disk").c_str(), owner, owner), 0);
    ASSERT_EQ(chown(out.c_str(), owner, owner), 0);
    fs::permissions(out, fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec &
                             ~fs::perms::others_exec);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_exec);
    run_options as_someone;
    as_someone.user = someone;

    const run_result result = run_fwsplice({path("boot"), path("sketch"), out}, as_someone);
    EXPECT_EQ(result.out, merged() + "Wrote combined file to " + out + " \n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(out), expected_image(boot_bytes, sketch_bytes));
    EXPECT_EQ(entries_in(path("disk")), 1);
}

/// A process of the test's own, ended with the test whichever way it ends.
class child_process {
public:
    explicit child_process(pid_t pid) : pid_(pid) {}
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    ~child_process()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

TEST_F(hostile_test, another_users_file_or_link_in_a_shared_sticky_directory_is_refused)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "root's runs are the ones the kernel's protections are for";
    }
    arrange(before::nothing);
    fs::create_directory(path("shared"));
    fs::permissions(path("shared"), fs::perms::all | fs::perms::sticky_bit);
    fs::create_directory(path("private"));
    write_file("shared/image", old_bytes);
    ASSERT_EQ(chown(path("shared/image").c_str(), nobody, nobody), 0);
    fs::create_symlink("../private/pwned", path("shared/link"));
    ASSERT_EQ(lchown(path("shared/link").c_str(), nobody, nobody), 0);
    ASSERT_EQ(mkfifo(path("shared/fifo").c_str(), 0666), 0);
    ASSERT_EQ(chown(path("shared/fifo").c_str(), nobody, nobody), 0);
    const snapshot shared = take_snapshot(path("shared"));
    for (const char* name : {"shared/image", "shared/link", "shared/fifo"}) {
        SCOPED_TRACE(name);
        const run_result result = run_fwsplice({path("boot"), path("sketch"), path(name)});
        EXPECT_EQ(result.out,
                  merged() + "Unable to open output file " + path(name) + " for writing \n");
        EXPECT_EQ(result.err, "fwsplice: " + path(name) + ": Permission denied\n");
        EXPECT_EQ(result.status, 254);
        EXPECT_EQ(take_snapshot(path("shared")), shared);
        EXPECT_EQ(entries_in(path("private")), 0);
    }
}

TEST_F(hostile_test, in_a_user_namespace_unmapped_owners_are_not_the_same_owner)
{
    // Inside, owner's directory and someone's image both read as the overflow id.
    if (geteuid() != 0) {
        GTEST_SKIP() << "root's runs are the ones the kernel's protections are for";
    }
    arrange(before::nothing);
    fs::create_directory(path("shared"));
    fs::permissions(path("shared"), fs::perms::all | fs::perms::sticky_bit);
    ASSERT_EQ(chown(path("shared").c_str(), owner, owner), 0);
    const std::string out = write_file("shared/image", old_bytes);
    fs::permissions(out, fs::perms::all);
    ASSERT_EQ(chown(out.c_str(), someone, someone), 0);
    run_options rootless;
    rootless.user_namespace = true;
    const run_result result = run_fwsplice({path("boot"), path("sketch"), out}, rootless);
    EXPECT_EQ(result.out, merged() + "Unable to open output file " + out + " for writing \n");
    EXPECT_EQ(result.err, "fwsplice: " + out + ": Permission denied\n");
    EXPECT_EQ(read_file(out), old_bytes);

    // An ACL that names someone, whom the namespace does not map, cannot be given to a copy:
    // the output is written in place, and keeps it.
    const std::string named = write_file("named", old_bytes);
    const std::string grant = "setfacl -m u:" + std::to_string(someone) + ":rw " + named;
    // NOLINTNEXTLINE(cert-env33-c): setfacl is the user's own tool for ACLs.
    if (std::system((grant + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "setfacl (Debian's acl) is missing, or ACLs do not work here";
    }
    struct stat before_run {};
    stat(named.c_str(), &before_run);
    const run_result in_place = run_fwsplice({path("boot"), path("sketch"), named}, rootless);
    EXPECT_EQ(in_place.out, merged() + "Wrote combined file to " + named + " \n");
    EXPECT_EQ(in_place.status, 0);
    EXPECT_EQ(read_file(named), expected_image(boot_bytes, sketch_bytes));
    struct stat after_run {};
    stat(named.c_str(), &after_run);
    EXPECT_EQ(after_run.st_ino, before_run.st_ino);
}

TEST_F(hostile_test, an_append_only_or_immutable_directory_is_written_in_place_leaving_nothing)
{
    arrange(before::nothing);
    const command_mount disk{path("disk"),
                             loop_disk(path("ext4.img"), path("disk"), "mkfs.ext4 -q -F", "8M")};
    if (!disk.mounted()) {
        GTEST_SKIP() << "needs root, mkfs.ext4 (Debian's e2fsprogs) and a loop device";
    }
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(path("boot"), fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(path("sketch"), fs::perms::owner_read | fs::perms::others_read);
    // The file's owner in a directory it may write but not read: the flag is read all the same.
    const struct {
        const char* attribute;
        const char* name;
        fs::perms mode;
        uid_t user;
    } cases[] = {
        {"+a", "append", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, 0},
        {"+i", "locked", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, 0},
        {"+a", "unreadable",
         fs::perms::all & ~fs::perms::owner_read & ~fs::perms::group_read & ~fs::perms::others_read,
         nobody}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string place = path("disk/") + c.name;
        fs::create_directory(place);
        const std::string out = place + "/out";
        write_file(out.substr(dir.size() + 1), old_bytes);
        ASSERT_EQ(chown(out.c_str(), c.user, c.user), 0);
        fs::permissions(place, c.mode);
        struct stat before_run {};
        stat(out.c_str(), &before_run);
        // NOLINTNEXTLINE(cert-env33-c): chattr is the user's own tool for attributes.
        ASSERT_EQ(std::system(("chattr " + std::string(c.attribute) + " " + place).c_str()), 0);
        run_options options;
        options.user = c.user;
        const run_result result = run_fwsplice({path("boot"), path("sketch"), out}, options);
        // NOLINTNEXTLINE(cert-env33-c)
        std::system(("chattr -" + std::string(c.attribute + 1) + " " + place).c_str());
        EXPECT_EQ(result.out, merged() + "Wrote combined file to " + out + " \n");
        EXPECT_EQ(result.status, 0);
        struct stat after_run {};
        stat(out.c_str(), &after_run);
        EXPECT_EQ(after_run.st_ino, before_run.st_ino);
        EXPECT_EQ(read_file(out), expected_image(boot_bytes, sketch_bytes));
        fs::permissions(place, fs::perms::owner_all);
        EXPECT_EQ(entries_in(place), 1);
    }

    // Turned append-only while the copy is written: the rename is refused, and so is the
    // copy's removal, which writing in place must wait for. The old image stays.
    const std::string place = path("disk/turned");
    fs::create_directory(place);
    const std::string out = write_file("disk/turned/out", old_bytes);
    run_options held;
    held.hold = held_call::first_write;
    running_fwsplice run{{path("boot"), path("sketch"), out}, held};
    run.wait_for_held_call();
    // NOLINTNEXTLINE(cert-env33-c)
    ASSERT_EQ(std::system(("chattr +a " + place).c_str()), 0);
    run.go_on();
    const run_result result = run.wait();
    // NOLINTNEXTLINE(cert-env33-c)
    std::system(("chattr -a " + place).c_str());
    EXPECT_EQ(result.out, merged() + "Unable to write output file " + out + "\n");
    EXPECT_EQ(result.status, 254);
    EXPECT_EQ(read_file(out), old_bytes);
}

TEST_F(hostile_test, an_input_swapped_for_a_fifo_after_it_was_looked_at_is_refused)
{
    // Held in its open of the bootloader, after the type was looked at by name.
    arrange(before::nothing);
    run_options at_the_open;
    at_the_open.hold = held_call::input_open;
    running_fwsplice run{{path("boot"), path("sketch"), path("out")}, at_the_open};
    run.wait_for_held_call();
    fs::remove(path("boot"));
    ASSERT_EQ(mkfifo(path("boot").c_str(), 0600), 0);
    run.go_on();
    const run_result result = run.wait();
    EXPECT_EQ(result.out, "Unable to read bootloader binary file " + path("boot") + "\n");
    EXPECT_EQ(result.err, "fwsplice: " + path("boot") + ": not a regular file\n");
    EXPECT_EQ(result.status, 254);
    EXPECT_FALSE(fs::exists(path("out")));
}

TEST_F(hostile_test, a_fifo_input_is_never_opened_so_its_waiting_writer_stays_waiting)
{
    arrange(before::nothing);
    const std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const child_process writer{fork()};
    if (writer.pid() == 0) {
        const int descriptor = open(fifo.c_str(), O_WRONLY);
        _exit(descriptor < 0 ? 1 : 0);
    }
    ASSERT_GT(writer.pid(), 0);
    // Waits until the writer is inside its open of the FIFO.
    const std::string calls = "/proc/" + std::to_string(writer.pid()) + "/syscall";
    for (long call = -1; call != SYS_openat; std::ifstream(calls) >> call) {
    }
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, fifo.c_str(), IN_OPEN), 0);
    for (const bool as_bootloader : {true, false}) {
        const run_result result =
            run_fwsplice({as_bootloader ? fifo : path("boot"),
                          as_bootloader ? path("sketch") : fifo, path("out")});
        EXPECT_EQ(result.out, as_bootloader
                                  ? "Unable to read bootloader binary file " + fifo + "\n"
                                  : opened("bootloader", path("boot"), 3000) +
                                        "Unable to read sketch binary file " + fifo + "\n");
        EXPECT_EQ(result.err, "fwsplice: " + fifo + ": not a regular file\n");
        EXPECT_EQ(result.status, 254);
    }
    std::array<char, 4096> events{};
    EXPECT_EQ(read(watch, events.data(), events.size()), -1) << "the FIFO was opened";
    EXPECT_EQ(waitpid(writer.pid(), nullptr, WNOHANG), 0);
    close(watch);
}

}  // namespace
