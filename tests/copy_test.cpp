// The sketch copied by the kernel: refused at once or partway, a sketch that changes size
// meanwhile, another file system, and one that shares blocks.
#include "output_fixture.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

using copy_test = output_test;

TEST_F(copy_test, the_sketch_copied_by_the_kernel_is_whole_or_the_run_fails)
{
    // Held in the kernel's copy of the sketch: refused at once or once part is copied, the
    // rest goes through the buffer; a sketch that shrinks or grows meanwhile is refused.
    enum class during { refused, refused_partway, shrinks, grows };
    const std::string half = sketch_bytes.substr(0, sketch_bytes.size() / 2);
    const std::string unreadable = "Unable to read sketch binary file " + path("sketch") + "\n";
    const struct {
        during what;
        std::string message;
        std::string reason;
    } cases[] = {
        {during::refused, "Wrote combined file to " + path("out") + " \n", ""},
        {during::refused_partway, "Wrote combined file to " + path("out") + " \n", ""},
        {during::shrinks, unreadable, "shorter than it measured"},
        {during::grows, unreadable, "longer than it measured"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.what));
        const std::string out = arrange(before::old_image);
        run_options options;
        options.hold = held_call::kernel_copy;
        running_fwsplice run{{path("boot"), path("sketch"), out}, options};
        run.wait_for_held_call();
        if (c.what == during::refused) {
            run.fail_held_call(EXDEV);
        } else {
            write_file("sketch", c.what == during::grows ? sketch_bytes + "more" : half);
            run.go_on();
        }
        if (c.what == during::refused_partway) {
            run.wait_for_held_call();
            write_file("sketch", sketch_bytes);
            run.fail_held_call(EXDEV);
        }
        const run_result result = run.wait();
        EXPECT_EQ(result.out, merged() + c.message);
        EXPECT_EQ(result.err,
                  c.reason.empty() ? "" : "fwsplice: " + path("sketch") + ": " + c.reason + "\n");
        EXPECT_EQ(read_file(out),
                  c.reason.empty() ? expected_image(boot_bytes, sketch_bytes) : old_bytes);
        EXPECT_EQ(entries_in(dir), 3);
    }
}

/// True when every block of the file past its first 8 KiB is shared with another file.
bool shares_blocks_past_the_bootloader(const std::string& file)
{
    const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> request(sizeof(fiemap) + 64 * sizeof(fiemap_extent));
    auto* map = reinterpret_cast<fiemap*>(request.data());
    map->fm_start = 8192;
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = 64;
    const bool mapped = ioctl(descriptor, FS_IOC_FIEMAP, map) == 0 && map->fm_mapped_extents > 0;
    close(descriptor);
    return mapped && std::all_of(map->fm_extents, map->fm_extents + map->fm_mapped_extents,
                                 [](const fiemap_extent& extent) {
                                     return extent.fe_logical < 8192 ||
                                            (extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0;
                                 });
}

TEST_F(copy_test, the_sketch_is_copied_whole_across_file_systems_and_shared_where_it_can_be)
{
    // The output on a tmpfs, away from the sketch; both on XFS with reflink, where the kernel
    // shares the sketch's blocks instead of copying them.
    sketch_bytes = pattern(1 << 20, 29);
    arrange(before::nothing);
    const bool tmpfs = mount_disk("size=4m");
    const command_mount xfs{path("xfs"), loop_disk(path("xfs.img"), path("xfs"),
                                                   "mkfs.xfs -q -f -m reflink=1", "512M")};
    if (!tmpfs || !xfs.mounted()) {
        GTEST_SKIP() << "needs root, and mkfs.xfs (Debian's xfsprogs) with a loop device";
    }
    const std::string on_xfs = write_file("xfs/sketch", sketch_bytes);
    const struct {
        std::string sketch;
        std::string out;
        bool shared;
    } cases[] = {{path("sketch"), path("disk/out"), false}, {on_xfs, path("xfs/out"), true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const run_result result = run_fwsplice({path("boot"), c.sketch, c.out});
        EXPECT_EQ(result.out, progress(path("boot"), 3000, c.sketch, 1 << 20) +
                                  "Wrote combined file to " + c.out + " \n");
        EXPECT_EQ(read_file(c.out), expected_image(boot_bytes, sketch_bytes));
        EXPECT_EQ(shares_blocks_past_the_bootloader(c.out), c.shared);
    }
}

}  // namespace
