// POSIX: the access of a new output, or of a replaced one, given to the temporary file.
#include "file_attributes_posix.hpp"

#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/xattr.h>
#endif

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace fwsplice {
namespace {

#if defined(__linux__)
/// The size of the old output's POSIX access ACL, read into acl where it is given. A
/// path-only descriptor (where the file could not be opened for reading) is read through
/// /proc, or, without /proc, by its path, as long as that still leads to the file held.
ssize_t get_old_acl(const output_target& target, char* acl, std::size_t size)
{
    const ssize_t got = fgetxattr(target.existing, "system.posix_acl_access", acl, size);
    if (got >= 0 || errno != EBADF) {
        return got;
    }
    std::array<char, 32> self{};
    std::snprintf(self.data(), self.size(), "/proc/self/fd/%d", target.existing);
    const ssize_t through_proc = getxattr(self.data(), "system.posix_acl_access", acl, size);
    if (through_proc >= 0 || errno != ENOENT || access("/proc/self/fd", F_OK) == 0) {
        return through_proc;
    }
    const std::string path = target.directory_name + "/" + target.name;
    struct stat named {};
    if (lstat(path.c_str(), &named) != 0 || named.st_dev != target.old.st_dev ||
        named.st_ino != target.old.st_ino) {
        errno = ENOENT;
        return -1;
    }
    return lgetxattr(path.c_str(), "system.posix_acl_access", acl, size);
}

ssize_t get_new_acl(int descriptor, char* acl, std::size_t size)
{
    return fgetxattr(descriptor, "system.posix_acl_access", acl, size);
}

/// A file's POSIX access ACL, read with get, empty where it has none.
template <typename Get> failure read_access_acl(Get get, std::vector<char>& acl)
{
    acl.clear();
    const ssize_t size = get(nullptr, 0);
    if (size < 0) {
        return errno == ENODATA || errno == ENOTSUP ? failure{} : system_error(errno);
    }
    acl.resize(static_cast<std::size_t>(size));
    if (get(acl.data(), acl.size()) != size) {
        return system_error(errno);
    }
    return {};
}
#endif

/// Gives the new file exactly the old output's POSIX access ACL: the same, or none where the
/// old had none (a directory's default ACL must not let in whoever the old file kept out).
/// Nothing is written where the two agree already. Other extended attributes are not copied:
/// they belong to the old file.
failure match_access_acl(const output_target& target, int descriptor)
{
#if defined(__linux__)
    std::vector<char> old_acl;
    std::vector<char> new_acl;
    const auto old_get = [&target](char* acl, std::size_t size) {
        return get_old_acl(target, acl, size);
    };
    const auto new_get = [descriptor](char* acl, std::size_t size) {
        return get_new_acl(descriptor, acl, size);
    };
    if (const failure reading = read_access_acl(old_get, old_acl)) {
        return reading;
    }
    if (const failure reading = read_access_acl(new_get, new_acl)) {
        return reading;
    }
    if (old_acl == new_acl) {
        return {};
    }
    const int changed = old_acl.empty() ? fremovexattr(descriptor, "system.posix_acl_access")
                                        : fsetxattr(descriptor, "system.posix_acl_access",
                                                    old_acl.data(), old_acl.size(), 0);
    return changed == 0 ? failure{} : system_error(errno);
#else
    static_cast<void>(target);
    static_cast<void>(descriptor);
    return {};
#endif
}

/// The old file's mode, with a set-ID bit only where the owner or group it was set for could
/// be copied.
failure take_old_mode(int descriptor, const struct stat& old)
{
    struct stat made {};
    if (fstat(descriptor, &made) != 0) {
        return system_error(errno);
    }
    mode_t mode = old.st_mode & 07777;
    if (made.st_uid != old.st_uid) {
        mode &= ~static_cast<mode_t>(S_ISUID);
    }
    if (made.st_gid != old.st_gid) {
        mode &= ~static_cast<mode_t>(S_ISGID);
    }
    if ((made.st_mode & 07777) != mode && fchmod(descriptor, mode) != 0) {
        return system_error(errno);
    }
    return {};
}

}  // namespace

/// For a new output: the mode a plain create gives, the umask's or, where the directory has a
/// default ACL, the one the kernel has already applied. Set again on purpose: before Linux 6.6
/// an unnamed file on a file system without ACLs did not get the umask. A file system that
/// refuses chmod (vfat, some FUSE mounts) keeps what it gave, as it would for a plain create.
void take_new_mode(int descriptor, const std::string& directory_name) noexcept
{
#if defined(__linux__)
    if (getxattr(directory_name.c_str(), "system.posix_acl_default", nullptr, 0) > 0) {
        return;
    }
#else
    static_cast<void>(directory_name);
#endif
    const mode_t mask = umask(0);
    umask(mask);
    struct stat made {};
    const mode_t wanted = 0666 & ~mask;
    if (fstat(descriptor, &made) != 0 || (made.st_mode & 07777) != wanted) {
        static_cast<void>(fchmod(descriptor, wanted));
    }
}

failure take_old_access(int descriptor, const struct stat& old, const output_target& target)
{
    // Where neither can be copied, the file stays the caller's, as a plain create makes it.
    if (fchown(descriptor, old.st_uid, old.st_gid) != 0 &&
        fchown(descriptor, static_cast<uid_t>(-1), old.st_gid) != 0) {
        errno = 0;
    }
    if (const failure acl = match_access_acl(target, descriptor)) {
        return acl;
    }
    return take_old_mode(descriptor, old);
}

}  // namespace fwsplice
