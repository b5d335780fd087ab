// The output under hostile conditions: shortages that must never lead to writing in place,
// shared sticky directories, another user flipping links, access control lists, and a
// process waiting on an input.
#include "output_fixture.hpp"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

using hostile_test = output_test;

/// Unprivileged users besides nobody, for a directory owner and a caller that differ. nobody's
/// id is also what a user namespace shows for ids it does not map, and never counts as the
/// same owner as anything.
constexpr uid_t someone = 65533;
constexpr uid_t owner = 65532;

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
}

TEST_F(hostile_test, a_replacement_keeps_a_set_id_bit_only_with_its_owner_or_group)
{
    // nobody may write root's group-writable 06775 image, but gives the copy only the group.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to give the image away";
    }
    arrange(before::nothing);
    fs::permissions(dir, fs::perms::all);
    const std::string out = write_file("out", old_bytes);
    ASSERT_EQ(chown(out.c_str(), 0, nobody), 0);
    ASSERT_EQ(chmod(out.c_str(), 06775), 0);
    run_options as_nobody;
    as_nobody.user = nobody;
    EXPECT_EQ(run_fwsplice({path("boot"), path("sketch"), out}, as_nobody).status, 0);
    struct stat replaced {};
    ASSERT_EQ(stat(out.c_str(), &replaced), 0);
    EXPECT_EQ(replaced.st_mode & 07777, 02775U);
    EXPECT_EQ(replaced.st_gid, nobody);
}

TEST_F(hostile_test, an_append_only_or_immutable_directory_is_written_in_place_leaving_nothing)
{
    arrange(before::nothing);
    const loop_disk disk{path("ext4.img"), path("disk"), "mkfs.ext4 -q -F", "8M"};
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
}

TEST_F(hostile_test, a_file_put_at_the_output_between_the_look_and_the_open_is_refused)
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
        for (int opens = 0; opens < c.open;) {
            run.wait_for_held_call();
            opens += run.held_path() == "out" ? 1 : 0;
            if (opens < c.open) {
                run.go_on();
            }
        }
        fs::rename(other, out);
        run.go_on();
        const run_result result = run.wait();
        EXPECT_EQ(result.out, merged() + "Unable to open output file " + out + " for writing \n");
        EXPECT_EQ(result.err, "fwsplice: " + out + ": " + c.reason + "\n");
        EXPECT_EQ(result.status, 254);
        EXPECT_EQ(read_file(out), boot_bytes);
    }
}

TEST_F(hostile_test, a_link_put_at_the_output_during_the_run_never_leads_root_through_it)
{
    // Held after the output's path was followed and found empty, the tool finds another
    // user's link there, to a file it must never write: while it checks the path with the
    // kernel's own walk, or in its first write.
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
    const struct {
        held_call hold;
        bool unnamed;
        const char* link;
        std::string message;
        std::string reason;
    } cases[] = {
        {held_call::path_lookup, true, "../private/kept", unopened,
         "the path changed while it was followed"},
        {held_call::path_lookup, true, "out", unopened, "Too many levels of symbolic links"},
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
        run.wait_for_held_call();
        while (c.hold == held_call::path_lookup && run.held_path() != out) {
            run.go_on();
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

TEST_F(hostile_test, a_failed_check_removes_what_the_merge_would_replace_and_nothing_else)
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
    fs::create_symlink("../private/kept", path("shared/image.bin"));
    ASSERT_EQ(lchown(path("shared/image.bin").c_str(), nobody, nobody), 0);
    run_options check;
    check.program = FWSPLICE_CHECK_BINARY;
    const struct {
        std::string image;
        std::string gone;
        std::string kept;
        std::string err;
    } cases[] = {{path("image.bin"), path("real.bin"), "", ""},
                 {path("shared/image.bin"), "", path("private/kept"),
                  "fwsplice: " + path("shared/image.bin") + ": not removed: Permission denied\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const run_result result =
            run_fwsplice({c.image, path("boot"), path("sketch"), "0x2000"}, check);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err.substr(result.err.find('\n') + 1), c.err);
        EXPECT_TRUE(c.gone.empty() || !fs::exists(c.gone));
        EXPECT_TRUE(fs::is_symlink(c.image));
        EXPECT_TRUE(c.kept.empty() || read_file(c.kept) == old_bytes);
    }
}

std::string access_acl(const std::string& file)
{
    std::string acl(1024, '\0');
    const ssize_t size = getxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size());
    acl.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return acl;
}

TEST_F(hostile_test, a_new_output_takes_the_default_acl_and_a_replaced_one_keeps_its_acl)
{
    arrange(before::nothing);
    fs::create_directory(path("acl"));
    write_file("acl/old", old_bytes);
    write_file("acl/plain", old_bytes);
    const std::string set_default = "setfacl -d -m u::rw,u:nobody:r,g::-,o::- " + path("acl");
    const std::string deny_nobody = "setfacl -m u:nobody:- " + path("acl/old");
    // NOLINTNEXTLINE(cert-env33-c): setfacl is the user's own tool for ACLs.
    if (std::system((set_default + " 2>/dev/null && " + deny_nobody).c_str()) != 0) {
        GTEST_SKIP() << "setfacl (Debian's acl) is missing, or ACLs do not work here";
    }
    const std::string kept = access_acl(path("acl/old"));
    ASSERT_FALSE(kept.empty());
    const std::ofstream touched{path("acl/touched")};  // as a plain create makes a file
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed" : "named");
        fs::remove(path("acl/new"));
        run_options options;
        options.no_unnamed_files = !unnamed;
        for (const char* name : {"acl/new", "acl/old", "acl/plain"}) {
            EXPECT_EQ(run_fwsplice({path("boot"), path("sketch"), path(name)}, options).status, 0);
        }
        EXPECT_EQ(fs::status(path("acl/new")).permissions(),
                  fs::status(path("acl/touched")).permissions());
        EXPECT_EQ(access_acl(path("acl/old")), kept);
        EXPECT_EQ(access_acl(path("acl/plain")), "");  // not the directory's default
    }
    // The owner narrows the access while the image is being written: that stands.
    run_options held;
    held.hold = held_call::first_write;
    running_fwsplice run{{path("boot"), path("sketch"), path("acl/old")}, held};
    run.wait_for_held_call();
    // NOLINTNEXTLINE(cert-env33-c)
    ASSERT_EQ(std::system(("setfacl -b " + path("acl/old")).c_str()), 0);
    ASSERT_EQ(chmod(path("acl/old").c_str(), 0600), 0);
    run.go_on();
    EXPECT_EQ(run.wait().status, 0);
    EXPECT_EQ(access_acl(path("acl/old")), "");
    EXPECT_EQ(fs::status(path("acl/old")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(hostile_test, a_write_only_output_keeps_its_access_where_proc_is_not_mounted)
{
    // The old output can only be held by its path, and its ACL only read by its path.
    if (geteuid() != 0 || sanitized()) {
        GTEST_SKIP() << "a mount namespace without /proc needs root, and a sanitizer needs /proc";
    }
    arrange(before::nothing);
    fs::permissions(dir, fs::perms::all);
    fs::permissions(path("boot"), fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(path("sketch"), fs::perms::owner_read | fs::perms::others_read);
    const std::string out = write_file("out", old_bytes);
    ASSERT_EQ(chown(out.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chmod(out.c_str(), 0222), 0);
    run_options without_proc;
    without_proc.user = nobody;
    without_proc.no_proc = true;
    const run_result result = run_fwsplice({path("boot"), path("sketch"), out}, without_proc);
    EXPECT_EQ(result.out, merged() + "Wrote combined file to " + out + " \n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(out), expected_image(boot_bytes, sketch_bytes));
    EXPECT_EQ(fs::status(out).permissions(),
              fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write);
}

/// A FUSE view of a directory (bindfs) with these options, unmounted at the end of the test.
class fuse_view {
public:
    fuse_view(const std::string& source, const std::string& view, const std::string& options)
        : view_(view)
    {
        fs::create_directory(view);
        // NOLINTNEXTLINE(cert-env33-c): bindfs is the user's own tool for such views.
        mounted_ = geteuid() == 0 && std::system(("bindfs -o allow_other " + options + " " +
                                                  source + " " + view + " 2>/dev/null")
                                                     .c_str()) == 0;
    }
    fuse_view(const fuse_view&) = delete;
    fuse_view& operator=(const fuse_view&) = delete;
    ~fuse_view()
    {
        if (mounted_) {
            umount2(view_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }

private:
    std::string view_;
    bool mounted_ = false;
};

TEST_F(hostile_test, through_a_fuse_view_an_input_is_still_never_written_in_place)
{
    // The sketch, named through a view that hides its identity, in a directory that only
    // allows writing in place: its bytes give it away. A view that refuses chmod still makes
    // a new output, with the mode it gave.
    arrange(before::nothing);
    fs::create_directory(path("real"));
    fs::create_directory(path("modes"));
    const std::string sketch = write_file("real/sketch", sketch_bytes);
    const fuse_view view{path("real"), path("view"), ""};
    const fuse_view no_chmod{path("modes"), path("no-chmod"),
                             "--chmod-deny --create-with-perms=0755"};
    if (!view.mounted() || !no_chmod.mounted()) {
        GTEST_SKIP() << "needs root and bindfs (Debian's bindfs)";
    }
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(path("boot"), fs::perms::owner_read | fs::perms::others_read);
    ASSERT_EQ(chown(sketch.c_str(), nobody, nobody), 0);
    fs::permissions(path("real"),
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    run_options as_nobody;
    as_nobody.user = nobody;
    const std::string through_view = path("view/sketch");
    const run_result result = run_fwsplice({path("boot"), through_view, sketch}, as_nobody);
    EXPECT_EQ(result.out, progress(path("boot"), 3000, through_view,
                                   static_cast<long long>(sketch_bytes.size())) +
                              "Unable to open output file " + sketch + " for writing \n");
    EXPECT_EQ(result.err,
              "fwsplice: " + sketch + ": it is an input, which only a replacement could write\n");
    EXPECT_EQ(read_file(sketch), sketch_bytes);

    const std::string out = path("no-chmod/out");
    EXPECT_EQ(run_fwsplice({path("boot"), sketch, out}).status, 0);
    EXPECT_EQ(read_file(out), expected_image(boot_bytes, sketch_bytes));
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
