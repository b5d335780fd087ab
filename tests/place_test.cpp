// Places that allow only writing in place: a directory the user may not write, a bind-mounted
// file, and an overlay that a failed run must not copy the output up in.
#include "output_fixture.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

using place_test = output_test;

TEST_F(place_test, a_read_only_directory_is_written_in_place)
{
    arrange(before::nothing);
    fs::create_directory(path("locked"));
    write_file("locked/out", old_bytes);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(path("boot"), fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(path("sketch"), fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(path("locked/out"), fs::perms::all);
    write_file("locked/torn", old_bytes);
    fs::permissions(path("locked/torn"), fs::perms::all);
    // A read-only output in a writable directory is refused, though a rename could replace it.
    fs::create_directory(path("open"));
    fs::permissions(path("open"), fs::perms::all);
    write_file("open/read-only", old_bytes);
    fs::permissions(path("open/read-only"), fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(path("locked"), fs::perms::owner_read | fs::perms::owner_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
    run_options as_a_user;
    as_a_user.user = nobody;
    run_options over_the_limit = as_a_user;
    over_the_limit.file_size = 8192;
    // A file system that keeps no modes refuses chmod as not supported.
    const std::string plain = write_file("open/plain", old_bytes);
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);
    run_options no_modes;
    no_modes.refused_chmod = EOPNOTSUPP;
    const struct {
        std::string out;
        run_options options;
        std::string message;
        int status;
        std::string image;
    } cases[] = {
        {path("locked/out"), as_a_user, "Wrote combined file to " + path("locked/out") + " \n", 0,
         expected_image(boot_bytes, sketch_bytes)},
        {path("locked/new"), as_a_user,
         "Unable to open output file " + path("locked/new") + " for writing \n", 254, ""},
        // In place, a failed write leaves the file emptied, not torn, where it cannot go.
        {path("locked/torn"), over_the_limit,
         "Unable to write output file " + path("locked/torn") + "\n", 254, ""},
        {path("open/read-only"), as_a_user,
         "Unable to open output file " + path("open/read-only") + " for writing \n", 254,
         old_bytes},
        {plain, no_modes, "Wrote combined file to " + plain + " \n", 0,
         expected_image(boot_bytes, sketch_bytes)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const run_result result = run_fwsplice({path("boot"), path("sketch"), c.out}, c.options);
        EXPECT_EQ(result.out, merged() + c.message);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(read_file(c.out), c.image);
    }
    EXPECT_EQ(entries_in(path("locked")), 2);
    EXPECT_EQ(entries_in(path("open")), 2);
    fs::permissions(path("locked"), fs::perms::owner_all);
}

TEST_F(place_test, a_bind_mounted_output_is_written_in_place)
{
    // In a writable directory the rename is refused; in a read-only one, the temporary file.
    for (const bool read_only_directory : {false, true}) {
        SCOPED_TRACE(read_only_directory ? "read-only directory" : "writable directory");
        fs::create_directory(path("place"));
        arrange(before::nothing);
        const std::string out = write_file("place/out", old_bytes);
        const std::string source = write_file("source", old_bytes);
        const scoped_mount place{path("place").c_str(), path("place"), nullptr, MS_BIND, nullptr};
        const bool read_only =
            !read_only_directory || mount(nullptr, path("place").c_str(), nullptr,
                                          MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
        const scoped_mount bound{source.c_str(), out, nullptr, MS_BIND, nullptr};
        if (!place.mounted() || !read_only || !bound.mounted()) {
            GTEST_SKIP() << "a bind mount, which a rename cannot replace, needs root";
        }
        const run_result result = run_fwsplice({path("boot"), path("sketch"), out});
        EXPECT_EQ(result.out, merged() + "Wrote combined file to " + out + " \n");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read_file(source), expected_image(boot_bytes, sketch_bytes));
    }
}

TEST_F(place_test, a_failed_run_on_overlayfs_never_copies_the_output_up)
{
    // Asking whether the output may be written must not open it for writing.
    for (const char* name : {"lower", "upper", "work", "merged"}) {
        fs::create_directory(path(name));
    }
    arrange(before::nothing);
    write_file("lower/out", old_bytes);
    const std::string layers =
        "lowerdir=" + path("lower") + ",upperdir=" + path("upper") + ",workdir=" + path("work");
    const scoped_mount overlay{"overlay", path("merged"), "overlay", 0, layers.c_str()};
    if (!overlay.mounted()) {
        GTEST_SKIP() << "mounting an overlay needs root";
    }
    run_options failing_close;
    failing_close.failing_close = true;
    const std::string out = path("merged/out");
    const run_result result = run_fwsplice({path("boot"), path("sketch"), out}, failing_close);
    EXPECT_EQ(result.out, merged() + "Unable to write output file " + out + "\n");
    EXPECT_EQ(read_file(out), old_bytes);
    EXPECT_EQ(entries_in(path("upper")), 0);
}

}  // namespace
