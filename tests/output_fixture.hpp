#pragma once

// What the output tests share: a directory laid out before a run, snapshots of it, and mounts.
#include "merge_fixture.hpp"
#include "run_fwsplice.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

/// One directory entry as a user would compare it: type, mode, owner, and bytes or link text
/// (nothing for a FIFO or a device, which reading would block or drain).
struct entry {
    std::filesystem::file_type type;
    unsigned mode;
    uid_t owner;
    gid_t group;
    std::string content;
    bool operator==(const entry& other) const
    {
        return std::tie(type, mode, owner, group, content) ==
               std::tie(other.type, other.mode, other.owner, other.group, other.content);
    }
};

using snapshot = std::map<std::string, entry>;

inline snapshot take_snapshot(const std::string& directory)
{
    snapshot entries;
    for (const std::filesystem::directory_entry& item :
         std::filesystem::directory_iterator(directory)) {
        struct stat info {};
        lstat(item.path().c_str(), &info);
        const std::filesystem::file_type type = item.symlink_status().type();
        entries[item.path().filename().string()] = {
            type, info.st_mode & 07777U, info.st_uid, info.st_gid,
            type == std::filesystem::file_type::symlink
                ? std::filesystem::read_symlink(item.path()).string()
            : type == std::filesystem::file_type::regular ? read_file(item.path().string())
                                                          : ""};
    }
    return entries;
}

inline void PrintTo(const entry& item, std::ostream* out)
{
    *out << "{type " << static_cast<int>(item.type) << ", mode " << std::oct << item.mode
         << std::dec << ", " << item.owner << ":" << item.group << ", " << item.content.size()
         << " bytes}";
}

/// A mount taken down again at the end of the test; mounting needs root.
class scoped_mount {
public:
    scoped_mount(const char* source, const std::string& target, const char* type,
                 unsigned long flags, const char* options)
        : target_(target), mounted_(mount(source, target.c_str(), type, flags, options) == 0)
    {
    }
    scoped_mount(const scoped_mount&) = delete;
    scoped_mount& operator=(const scoped_mount&) = delete;
    ~scoped_mount()
    {
        if (mounted_) {
            umount(target_.c_str());
        }
    }
    bool mounted() const { return mounted_; }

private:
    std::string target_;
    bool mounted_;
};

/// A mount made by the user's own tools (mkfs and mount -o loop, bindfs), made at mount_point
/// by the shell command given and taken down at the end of the test. Needs root.
class command_mount {
public:
    command_mount(const std::string& mount_point, const std::string& command)
        : mount_point_(mount_point)
    {
        std::filesystem::create_directory(mount_point);
        // NOLINTNEXTLINE(cert-env33-c): the user's own tools, run as the user would run them.
        mounted_ = geteuid() == 0 && std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    }
    command_mount(const command_mount&) = delete;
    command_mount& operator=(const command_mount&) = delete;
    ~command_mount()
    {
        if (mounted_) {
            umount2(mount_point_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }

private:
    std::string mount_point_;
    bool mounted_ = false;
};

/// The command that makes a file system with `make` (mkfs.ext4, mkfs.xfs) on an image of `size`
/// and mounts it on a loop device.
inline std::string loop_disk(const std::string& image, const std::string& mount_point,
                             const std::string& make, const std::string& size)
{
    return "truncate -s " + size + " " + image + " && " + make + " " + image +
           " && mount -o loop " + image + " " + mount_point;
}

/// Unprivileged users besides nobody, for a directory owner and a caller that differ. nobody's
/// id is also what a user namespace shows for ids it does not map, and never counts as the
/// same owner as anything.
inline constexpr uid_t someone = 65533;
inline constexpr uid_t owner = 65532;

/// What the output's name holds before a run.
enum class before {
    nothing,
    old_image,        ///< a regular file, mode 0640
    nobodys_image,    ///< a regular file owned by nobody (only when the suite runs as root)
    the_sketch,       ///< the output names the sketch
    sketch_link,      ///< a hard link of the sketch
    symlink,          ///< out -> old
    symlink_chain,    ///< out -> link -> old
    dangling_symlink  ///< out -> missing
};

class output_test : public merge_fixture {
protected:
    /// Mounts a tmpfs with these options on path("disk") for this test; false where it cannot
    /// (mounting needs root).
    bool mount_disk(const char* options)
    {
        std::filesystem::create_directory(path("disk"));
        disk_ = std::make_unique<scoped_mount>("tmpfs", path("disk"), "tmpfs", 0, options);
        return disk_->mounted();
    }
    void TearDown() override
    {
        disk_.reset();
        merge_fixture::TearDown();
    }

    /// Lays out boot, sketch and what the output's name holds; returns the output path.
    std::string arrange(before state) const
    {
        write_file("boot", boot_bytes);
        write_file("sketch", sketch_bytes);
        std::string out = path("out");
        switch (state) {
        case before::nothing:
            break;
        case before::old_image:
        case before::nobodys_image:
            write_file("out", old_bytes);
            chmod(out.c_str(), 0640);
            if (state == before::nobodys_image) {
                EXPECT_EQ(chown(out.c_str(), nobody, nobody), 0);
            }
            break;
        case before::the_sketch:
            return path("sketch");
        case before::sketch_link:
            std::filesystem::create_hard_link(path("sketch"), out);
            break;
        case before::symlink_chain:
            std::filesystem::create_symlink("old", path("link"));
            std::filesystem::create_symlink("link", out);
            write_file("old", old_bytes);
            break;
        case before::symlink:
            std::filesystem::create_symlink("old", out);
            write_file("old", old_bytes);
            break;
        case before::dangling_symlink:
            std::filesystem::create_symlink("missing", out);
            break;
        }
        return out;
    }

    /// The file that the output finally leads to, which alone a run may replace.
    static std::string replaced(before state)
    {
        switch (state) {
        case before::the_sketch:
            return "sketch";
        case before::symlink:
        case before::symlink_chain:
            return "old";
        case before::dangling_symlink:
            return "missing";
        default:
            return "out";
        }
    }

    std::string merged() const
    {
        return progress(path("boot"), 3000, path("sketch"),
                        static_cast<long long>(sketch_bytes.size()));
    }

    std::unique_ptr<scoped_mount> disk_;
    std::string boot_bytes = pattern(3000, 21);
    std::string sketch_bytes = pattern(50000, 22);
    std::string old_bytes = pattern(70000, 23);
};

inline std::vector<before> every_state()
{
    std::vector<before> states{before::nothing,         before::old_image, before::the_sketch,
                               before::sketch_link,     before::symlink,   before::symlink_chain,
                               before::dangling_symlink};
    if (geteuid() == 0) {
        states.push_back(before::nobodys_image);
    }
    return states;
}

inline std::ptrdiff_t entries_in(const std::string& directory)
{
    return std::distance(std::filesystem::directory_iterator(directory),
                         std::filesystem::directory_iterator());
}
