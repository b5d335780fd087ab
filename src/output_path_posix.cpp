// POSIX: what the output path leads to, followed as the kernel would follow it.
#include "output_steps.hpp"

#include "descriptor_posix.hpp"

#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fwsplice {
namespace {

/// Links followed before giving up, as the kernel does.
constexpr int max_links = 40;

/// The owner that a user namespace shows for every id it does not map: it names nobody in
/// particular, so it never counts as the same owner as anything.
uid_t overflow_uid() noexcept
{
#if defined(__linux__)
    static const uid_t uid = [] {
        std::array<char, 32> text{};
        std::FILE* const file = std::fopen("/proc/sys/kernel/overflowuid", "re");
        const bool read = file != nullptr && std::fgets(text.data(), text.size(), file) != nullptr;
        if (file != nullptr) {
            std::fclose(file);
        }
        char* end = nullptr;
        const unsigned long value = std::strtoul(text.data(), &end, 10);
        return static_cast<uid_t>(read && end != text.data() ? value : 65534);
    }();
    return uid;
#else
    return static_cast<uid_t>(-1);
#endif
}

/// The kernel's protections for sticky directories that others may write to
/// (fs.protected_symlinks, fs.protected_regular and fs.protected_fifos at their strictest),
/// applied whatever the sysctls say: there, an entry owned by neither this user nor the
/// directory's owner could be changed under us by its owner. A directory writable by its group
/// only protects regular files and FIFOs, as the kernel's level 2 does.
bool foreign_in_shared_directory(const struct stat& entry, const struct stat& directory) noexcept
{
    const bool group_protected = S_ISREG(entry.st_mode) || S_ISFIFO(entry.st_mode);
    const bool shared = (directory.st_mode & S_IWOTH) != 0 ||
                        ((directory.st_mode & S_IWGRP) != 0 && group_protected);
    if ((directory.st_mode & S_ISVTX) == 0 || !shared || S_ISDIR(entry.st_mode)) {
        return false;
    }
    const bool directory_owners =
        entry.st_uid == directory.st_uid && entry.st_uid != overflow_uid();
    return entry.st_uid != geteuid() && !directory_owners;
}

/// True for a directory of links that the kernel makes up rather than stores, such as
/// /proc/self/fd behind /dev/stdout: the caller wants the open file behind them written.
bool holds_made_up_links(int directory) noexcept
{
#if defined(__linux__)
    struct statfs file_system {};
    constexpr long proc_magic = 0x9fa0;  // PROC_SUPER_MAGIC
    return fstatfs(directory, &file_system) == 0 &&
           static_cast<long>(file_system.f_type) == proc_magic;
#else
    static_cast<void>(directory);
    return false;
#endif
}

/// An append-only directory (chattr +a) takes new names but lets none go: a rename over the
/// output, or the removal of a temporary file, would fail after the copy was made. Asked of the
/// directory already held, which needs no permission to read it.
bool append_only(int directory) noexcept
{
#if defined(__linux__) && defined(STATX_ATTR_APPEND)
    struct statx status {};
    if (statx(directory, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, 0, &status) == 0 &&
        (status.stx_attributes_mask & STATX_ATTR_APPEND) != 0) {
        return (status.stx_attributes & STATX_ATTR_APPEND) != 0;
    }
    // A file system that does not report the flag through statx may still answer the ioctl,
    // which wants the directory open for reading.
    int readable = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    const bool known = readable >= 0 && ioctl(readable, FS_IOC_GETFLAGS, &flags) == 0;
    close_if_open(readable);
    return known && (flags & FS_APPEND_FL) != 0;
#else
    static_cast<void>(directory);
    return false;
#endif
}

// One step of the walk: holds the directory of name open and looks at its last part. A link
// is followed only where the kernel would follow it; name then becomes the link's target.
failure look_at(output_target& target, std::string& name, bool& followed)
{
    followed = false;
    const std::size_t slash = name.rfind('/');
    const std::string prefix = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    target.directory_name = prefix.empty() ? "." : prefix;
    target.name = name.substr(prefix.size());
    close_if_open(target.directory);
    target.directory = ::open(target.directory_name.c_str(), path_only | O_DIRECTORY | O_CLOEXEC);
    if (target.directory < 0 || fstat(target.directory, &target.directory_status) != 0) {
        return system_error(errno);
    }
    if (target.name.empty() || target.name == "." || target.name == "..") {
        return system_error(EISDIR);
    }
    target.exists =
        fstatat(target.directory, target.name.c_str(), &target.old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!target.exists) {
        target.old = {};
        return errno == ENOENT ? failure{} : system_error(errno);
    }
    if (foreign_in_shared_directory(target.old, target.directory_status)) {
        return system_error(EACCES);
    }
    const bool link = S_ISLNK(target.old.st_mode);
    if (!link || holds_made_up_links(target.directory)) {
        target.follow = link;
        return {};
    }
    std::array<char, 4096> text{};
    const ssize_t length =
        readlinkat(target.directory, target.name.c_str(), text.data(), text.size());
    if (length <= 0 || static_cast<std::size_t>(length) == text.size()) {
        return system_error(length < 0 ? errno : ENAMETOOLONG);
    }
    const std::string link_text(text.data(), static_cast<std::size_t>(length));
    name = link_text.front() == '/' ? link_text : prefix + link_text;
    followed = true;
    return {};
}

/// Holds the existing regular output without opening it for writing, which on overlayfs would
/// copy the whole file up first; whether it may be written is asked of the kernel instead. It
/// is held open for reading where it may be read, for its ACL, else by its path alone.
failure hold_existing(output_target& target)
{
    if (faccessat(target.directory, target.name.c_str(), W_OK, AT_EACCESS) != 0) {
        return system_error(errno);
    }
    const int flags = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    target.existing = openat(target.directory, target.name.c_str(), O_RDONLY | O_NONBLOCK | flags);
    if (target.existing < 0 && errno == EACCES) {
        target.existing = openat(target.directory, target.name.c_str(), path_only | flags);
    }
    if (target.existing < 0 || fstat(target.existing, &target.old) != 0) {
        return system_error(errno);
    }
    // The rules are applied again to the file now held, which may not be the one looked at.
    if (!S_ISREG(target.old.st_mode)) {
        return refusal(failure_cause::changed, "the output changed while it was followed");
    }
    return foreign_in_shared_directory(target.old, target.directory_status) ? system_error(EACCES)
                                                                            : failure{};
}
}  // namespace

output_target::~output_target()
{
    close_if_open(existing);
    close_if_open(directory);
}

// The final name is found one link at a time, each read from a directory held open. The
// kernel's own walk of the path must then arrive at the same file; otherwise the path changed
// under us, and the run is refused rather than acting on a name read earlier.
failure find_output(const char* path, output_target& target)
{
    if (*path == '\0') {
        return system_error(ENOENT);
    }
    std::string name = path;
    bool followed = true;
    for (int links = 0; followed; ++links) {
        if (links > max_links) {
            return system_error(ELOOP);
        }
        if (const failure looking = look_at(target, name, followed)) {
            return looking;
        }
    }
    if (target.follow) {
        return {};
    }
    if (target.exists && S_ISREG(target.old.st_mode)) {
        if (const failure holding = hold_existing(target)) {
            return holding;
        }
    }
    struct stat through_path {};
    const bool found = stat(path, &through_path) == 0;
    if (!found && errno != ENOENT) {
        return system_error(errno);
    }
    if (found != target.exists || (target.exists && !same_file(through_path, target.old))) {
        return refusal(failure_cause::changed, "the path changed while it was followed");
    }
    target.replaceable =
        (!target.exists || S_ISREG(target.old.st_mode)) && !append_only(target.directory);
    return {};
}

file_identity identify_output(const output_target& target)
{
    if (!target.exists) {
        return {};
    }
    return {true, static_cast<std::uint64_t>(target.old.st_dev),
            static_cast<std::uint64_t>(target.old.st_ino)};
}

failure remove_output(const output_target& target)
{
    struct stat now {};
    if (fstatat(target.directory, target.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        return system_error(errno);
    }
    if (!same_file(now, target.old)) {
        return refusal(failure_cause::changed, "the output changed during the run");
    }
    return unlinkat(target.directory, target.name.c_str(), 0) == 0 ? failure{}
                                                                   : system_error(errno);
}

}  // namespace fwsplice
