// POSIX: the temporary file beside the output, its attributes, and its removal on every
// terminating signal.
#include "output_file.hpp"

#include "descriptor_posix.hpp"
#include "signal_cleanup_posix.hpp"

#if defined(__linux__)
#include <sys/random.h>
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace fwsplice {
namespace {

/// Six characters for a temporary file's name that another process cannot guess.
std::array<char, 7> random_characters() noexcept
{
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::array<unsigned char, 6> noise{};
#if defined(__linux__)
    const bool random =
        getrandom(noise.data(), noise.size(), GRND_NONBLOCK) == static_cast<ssize_t>(noise.size());
#else
    const bool random = false;
#endif
    if (!random) {
        // No entropy this early in boot: the clock will do, since O_EXCL never reuses a file.
        const auto now =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        std::memcpy(noise.data(), &now, noise.size());
    }
    std::array<char, 7> characters{};
    std::transform(noise.begin(), noise.end(), characters.begin(),
                   [](unsigned char value) { return alphabet[value % alphabet.size()]; });
    return characters;
}

/// Records "<name>.fwsplice-XXXXXX" as the temporary name, so that a leftover (after SIGKILL or
/// a power cut) can be told by its name. The output's name is cut short where the whole
/// would not fit the file system's limit on a name.
void name_temporary_file(int directory, const std::string& output_name) noexcept
{
    static constexpr std::string_view suffix = ".fwsplice-";
    const long name_max = fpathconf(directory, _PC_NAME_MAX);
    const std::size_t limit = std::min<std::size_t>(
        name_max > 0 ? static_cast<std::size_t>(name_max) : NAME_MAX, recorded.name.size() - 1);
    const std::size_t stem = std::min(output_name.size(), limit - suffix.size() - 6);
    char* end = std::copy_n(output_name.begin(), stem, recorded.name.begin());
    end = std::copy(suffix.begin(), suffix.end(), end);
    end = std::copy_n(random_characters().data(), 6, end);
    *end = '\0';
    recorded.directory = directory;
}

/// Makes a file under a new temporary name with `make`, which returns false with errno set
/// where it fails; a name that is taken already is replaced by another.
template <typename Make>
failure under_new_name(int directory, const std::string& output_name, Make make)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const signals_held held;
        name_temporary_file(directory, output_name);
        if (make(recorded.name.data())) {
            return {};
        }
        const int error = errno;
        recorded.name[0] = '\0';
        if (error != EEXIST) {
            return system_failure(error);
        }
    }
    return system_failure(EEXIST);
}

/// For a new output: the mode a plain create gives, the umask's or, where the directory has a
/// default ACL, the one the kernel has already applied. Set again on purpose: before Linux 6.6
/// an unnamed file on a file system without ACLs did not get the umask.
failure take_new_mode(int descriptor, const std::string& directory_name) noexcept
{
#if defined(__linux__)
    if (getxattr(directory_name.c_str(), "system.posix_acl_default", nullptr, 0) > 0) {
        return {};
    }
#else
    static_cast<void>(directory_name);
#endif
    const mode_t mask = umask(0);
    umask(mask);
    return fchmod(descriptor, 0666 & ~mask) == 0 ? failure{} : system_failure(errno);
}

/// Copies the old output's POSIX access ACL, so that whoever it kept out stays out. Other
/// extended attributes are not copied: they belong to the old file.
failure copy_access_acl(int from, int to)
{
#if defined(__linux__)
    constexpr const char* access_acl = "system.posix_acl_access";
    const ssize_t size = fgetxattr(from, access_acl, nullptr, 0);
    if (size < 0) {
        return errno == ENODATA || errno == ENOTSUP ? failure{} : system_failure(errno);
    }
    std::vector<char> acl(static_cast<std::size_t>(size));
    if (fgetxattr(from, access_acl, acl.data(), acl.size()) != size ||
        fsetxattr(to, access_acl, acl.data(), acl.size(), 0) != 0) {
        return system_failure(errno);
    }
#else
    static_cast<void>(from);
    static_cast<void>(to);
#endif
    return {};
}

/// For a replaced output: its owner and group where permitted, its mode and its ACL. A set-ID
/// bit is kept only with the owner or group it was set for.
failure take_old_attributes(int descriptor, const struct stat& old, int existing)
{
    mode_t mode = old.st_mode & 07777;
    if (fchown(descriptor, old.st_uid, old.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(S_ISUID);
        if (fchown(descriptor, static_cast<uid_t>(-1), old.st_gid) != 0) {
            mode &= ~static_cast<mode_t>(S_ISGID);
        }
    }
    if (fchmod(descriptor, mode) != 0) {
        return system_failure(errno);
    }
    return copy_access_acl(existing, descriptor);
}

}  // namespace

failure temporary_file::create(const output_target& target)
{
    remove_on_signals();
    directory_ = target.directory_;
    // A new output is created as a plain create would make it, so that the umask or the
    // directory's default ACL applies; a replacement stays private until it has its mode.
    const mode_t mode = target.exists_ ? 0600 : 0666;
#if defined(O_TMPFILE)
    if (access("/proc/self/fd", X_OK) == 0) {  // linking it in later goes through /proc
        descriptor_ = openat(directory_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        unnamed_ = descriptor_ >= 0;
        if (unnamed_ || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
            return unnamed_ ? failure{} : system_failure(errno);
        }
    }
#endif
    return under_new_name(directory_, target.name_, [this, mode](const char* name) {
        descriptor_ =
            openat(directory_, name, O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode);
        return descriptor_ >= 0;
    });
}

failure temporary_file::fill(const output_target& target, const unsigned char* bytes,
                             std::size_t size)
{
    const failure attributes = target.exists_
                                   ? take_old_attributes(descriptor_, target.old_, target.existing_)
                                   : take_new_mode(descriptor_, target.directory_name_);
    if (attributes) {
        return attributes;
    }
    if (!write_all(descriptor_, bytes, size)) {
        return system_failure(errno);
    }
    if (unnamed_) {
        if (const failure naming = link_in(target)) {
            return naming;
        }
    }
    const int descriptor = descriptor_;
    descriptor_ = -1;
    return ::close(descriptor) == 0 ? failure{} : system_failure(errno);
}

// The complete unnamed file takes its temporary name only now, so that an interruption before
// this point, even SIGKILL, leaves nothing behind.
failure temporary_file::link_in(const output_target& target) const
{
    std::array<char, 32> self{};
    std::snprintf(self.data(), self.size(), "/proc/self/fd/%d", descriptor_);
    return under_new_name(directory_, target.name_, [this, &self](const char* name) {
        return linkat(AT_FDCWD, self.data(), directory_, name, AT_SYMLINK_FOLLOW) == 0;
    });
}

#if defined(RENAME_NOREPLACE) || defined(RENAME_EXCL)
namespace {

/// A rename that fails with EEXIST instead of replacing a file that appeared at the name; the
/// caller falls back to a plain rename where the file system cannot do it.
int rename_no_replace(int directory, const char* from, const char* to) noexcept
{
#if defined(RENAME_NOREPLACE)
    return renameat2(directory, from, directory, to, RENAME_NOREPLACE);
#else
    return renameatx_np(directory, from, directory, to, RENAME_EXCL);
#endif
}

}  // namespace
#endif

failure temporary_file::rename_over(const output_target& target) const
{
    // The name must still hold what was found at the start, and a name that held nothing may
    // not gain a file in the meantime: a rename never follows a link, but it would replace a
    // file that someone else put there.
    struct stat now {};
    const bool present = fstatat(directory_, target.name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (present != target.exists_ || (present && !same_file(now, target.old_))) {
        return refusal("the output changed during the run");
    }
    const signals_held held;
    int renamed = -1;
#if defined(RENAME_NOREPLACE) || defined(RENAME_EXCL)
    if (!target.exists_) {
        renamed = rename_no_replace(directory_, recorded.name.data(), target.name_.c_str());
    }
    if (renamed != 0 && (target.exists_ || errno == EINVAL || errno == ENOSYS ||
                         errno == ENOTSUP))
#endif
    {
        renamed = renameat(directory_, recorded.name.data(), directory_, target.name_.c_str());
    }
    if (renamed != 0) {
        return system_failure(errno);
    }
    recorded.name[0] = '\0';
    return {};
}

void temporary_file::remove() noexcept
{
    close_if_open(descriptor_);
    const signals_held held;
    if (recorded.name[0] != '\0') {
        unlinkat(directory_, recorded.name.data(), 0);
        recorded.name[0] = '\0';
    }
}

}  // namespace fwsplice
