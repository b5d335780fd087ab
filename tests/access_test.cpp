// What a replaced output keeps of its access (set-ID bits, ACLs, a mode only its path can read),
// and inputs seen through views that hide their identity.
#include "output_fixture.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

using access_test = output_test;

TEST_F(access_test, a_replacement_keeps_a_set_id_bit_only_with_its_owner_or_group)
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

std::string access_acl(const std::string& file)
{
    std::string acl(1024, '\0');
    const ssize_t size = getxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size());
    acl.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return acl;
}

TEST_F(access_test, a_new_output_takes_the_default_acl_and_a_replaced_one_keeps_its_acl)
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

TEST_F(access_test, a_write_only_output_keeps_its_access_where_proc_is_not_mounted)
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

TEST_F(access_test, through_a_fuse_view_an_input_is_still_never_written_in_place)
{
    // The sketch, named through a view that hides its identity, in a directory that only
    // allows writing in place: its bytes give it away. A view that refuses chmod still makes
    // a new output, with the mode it gave.
    arrange(before::nothing);
    fs::create_directory(path("real"));
    fs::create_directory(path("modes"));
    const std::string sketch = write_file("real/sketch", sketch_bytes);
    const std::string bindfs = "bindfs -o allow_other ";
    const command_mount view{path("view"), bindfs + path("real") + " " + path("view")};
    const command_mount no_chmod{path("no-chmod"), bindfs +
                                                       "--chmod-deny --create-with-perms=0755 " +
                                                       path("modes") + " " + path("no-chmod")};
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

}  // namespace
