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
#include <vector>

namespace fwsplice {
namespace {

/// What the place refuses (an ACL naming an id that a user namespace does not map, a chmod
/// that a file system does not take) is a refusal of the place, after which the output is
/// written in place as a shell redirect would; anything else is a shortage or an error.
failure refused_by_place(int error) noexcept
{
    if (error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP) {
        return {failure_kind::permission, error, nullptr};
    }
    return system_failure(error);
}

#if defined(__linux__)
/// The size of a file's POSIX access ACL, read into acl where it is given. A path-only
/// descriptor (the old output's, where it could not be opened for reading) is read through
/// /proc.
ssize_t get_access_acl(int descriptor, char* acl, std::size_t size)
{
    const ssize_t got = fgetxattr(descriptor, "system.posix_acl_access", acl, size);
    if (got >= 0 || errno != EBADF) {
        return got;
    }
    std::array<char, 32> path{};
    std::snprintf(path.data(), path.size(), "/proc/self/fd/%d", descriptor);
    return getxattr(path.data(), "system.posix_acl_access", acl, size);
}

/// The POSIX access ACL of a file, empty where it has none.
failure read_access_acl(int descriptor, std::vector<char>& acl)
{
    acl.clear();
    const ssize_t size = get_access_acl(descriptor, nullptr, 0);
    if (size < 0) {
        return errno == ENODATA || errno == ENOTSUP ? failure{} : system_failure(errno);
    }
    acl.resize(static_cast<std::size_t>(size));
    if (get_access_acl(descriptor, acl.data(), acl.size()) != size) {
        return system_failure(errno);
    }
    return {};
}
#endif

/// Gives the new file exactly the old output's POSIX access ACL: the same, or none where the
/// old had none (a directory's default ACL must not let in whoever the old file kept out).
/// Nothing is written where the two agree already. Other extended attributes are not copied:
/// they belong to the old file.
failure match_access_acl(int existing, int descriptor)
{
#if defined(__linux__)
    std::vector<char> old_acl;
    std::vector<char> new_acl;
    if (const failure reading = read_access_acl(existing, old_acl)) {
        return reading;
    }
    if (const failure reading = read_access_acl(descriptor, new_acl)) {
        return reading;
    }
    if (old_acl == new_acl) {
        return {};
    }
    const int changed = old_acl.empty() ? fremovexattr(descriptor, "system.posix_acl_access")
                                        : fsetxattr(descriptor, "system.posix_acl_access",
                                                    old_acl.data(), old_acl.size(), 0);
    return changed == 0 ? failure{} : refused_by_place(errno);
#else
    static_cast<void>(existing);
    static_cast<void>(descriptor);
    return {};
#endif
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

failure take_old_owner_and_acl(int descriptor, const struct stat& old, int existing)
{
    // Where neither can be copied, the file stays the caller's, as a plain create makes it.
    if (fchown(descriptor, old.st_uid, old.st_gid) != 0 &&
        fchown(descriptor, static_cast<uid_t>(-1), old.st_gid) != 0) {
        errno = 0;
    }
    return match_access_acl(existing, descriptor);
}

failure take_old_mode(int descriptor, const struct stat& old)
{
    struct stat made {};
    if (fstat(descriptor, &made) != 0) {
        return system_failure(errno);
    }
    mode_t mode = old.st_mode & 07777;
    if (made.st_uid != old.st_uid) {
        mode &= ~static_cast<mode_t>(S_ISUID);
    }
    if (made.st_gid != old.st_gid) {
        mode &= ~static_cast<mode_t>(S_ISGID);
    }
    if ((made.st_mode & 07777) != mode && fchmod(descriptor, mode) != 0) {
        return refused_by_place(errno);
    }
    return {};
}

}  // namespace fwsplice
