// POSIX: the temporary file beside the output, its attributes, and its removal on every
// terminating signal.
#include "output_steps.hpp"

#include "descriptor_posix.hpp"
#include "file_attributes_posix.hpp"
#include "signals.hpp"

#if defined(__linux__)
#include <sys/random.h>
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

/// Writes "<name>.fwsplice-XXXXXX" into name, so that a leftover (after SIGKILL or a power cut)
/// can be told by its name. The output's name is cut short where the whole would not fit the
/// file system's limit on a name.
template <std::size_t capacity>
void name_temporary_file(int directory, const std::string& output_name,
                         std::array<char, capacity>& name) noexcept
{
    static constexpr std::string_view suffix = ".fwsplice-";
    const long name_max = fpathconf(directory, _PC_NAME_MAX);
    const std::size_t limit = std::min<std::size_t>(
        name_max > 0 ? static_cast<std::size_t>(name_max) : NAME_MAX, capacity - 1);
    const std::size_t stem = std::min(output_name.size(), limit - suffix.size() - 6);
    char* end = std::copy_n(output_name.begin(), stem, name.begin());
    end = std::copy(suffix.begin(), suffix.end(), end);
    end = std::copy_n(random_characters().data(), 6, end);
    *end = '\0';
}

}  // namespace

/// Makes a file under a new temporary name with `make`, which returns false with errno set
/// where it fails; a name that is taken already is replaced by another. The name is
/// registered for removal on a signal together with the file's making.
template <typename Make>
failure temporary_file::under_new_name(const std::string& output_name, Make make)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const signals_held held;
        name_temporary_file(directory_, output_name, name_);
        if (make(name_.data())) {
            remove_on_signal(directory_, name_.data());
            return {};
        }
        const int error = errno;
        name_[0] = '\0';
        if (error != EEXIST) {
            return system_error(error);
        }
    }
    return system_error(EEXIST);
}

failure temporary_file::create(const output_target& target)
{
    directory_ = target.directory;
    // A new output is created as a plain create would make it, so that the umask or the
    // directory's default ACL applies; a replacement stays private until it has its mode.
    const mode_t mode = target.exists ? 0600 : 0666;
    failure creating{};
#if defined(O_TMPFILE)
    if (access("/proc/self/fd", X_OK) == 0) {  // linking it in later goes through /proc
        descriptor_ = openat(directory_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        unnamed_ = descriptor_ >= 0;
        if (unnamed_) {
            return {};
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            creating = system_error(errno);
        }
    }
#endif
    if (!creating) {
        creating = under_new_name(target.name, [this, mode](const char* name) {
            descriptor_ = openat(directory_, name,
                                 O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode);
            return descriptor_ >= 0;
        });
    }
    return creating;
}

failure temporary_file::write(const unsigned char* bytes, std::size_t size) const
{
    return write_all(descriptor_, bytes, size) ? failure{} : system_error(errno);
}

// The kernel moves the bytes, or, on a file system that shares blocks, shares them.
failure temporary_file::copy(std::FILE* source, std::size_t count, std::size_t& copied) const
{
    copied = 0;
#if defined(__linux__)
    const int input = fileno(source);
    off64_t offset = 0;
    while (copied < count) {
        const ssize_t moved =
            copy_file_range(input, &offset, descriptor_, nullptr, count - copied, 0);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0) {
            return system_error(errno);
        }
        if (moved == 0) {
            return refusal(failure_cause::place_refuses, "the kernel's copy stopped short");
        }
        copied += static_cast<std::size_t>(moved);
    }
    return {};
#else
    static_cast<void>(source);
    static_cast<void>(count);
    return refusal(failure_cause::place_refuses, "no copy in the kernel here");
#endif
}

failure temporary_file::take_access(const output_target& target) const
{
    if (!target.exists) {
        take_new_mode(descriptor_, target.directory_name);
        return {};
    }
    // Read from the held file only now, so that a change made during the run is not undone.
    struct stat now {};
    if (fstat(target.existing, &now) != 0) {
        return system_error(errno);
    }
    return take_old_access(descriptor_, now, target);
}

failure temporary_file::close(const output_target& target)
{
    if (unnamed_) {
        if (const failure naming = link_in(target)) {
            return naming;
        }
    }
    const int descriptor = descriptor_;
    descriptor_ = -1;
    return ::close(descriptor) == 0 ? failure{} : system_error(errno);
}

// The complete unnamed file takes its temporary name only now, so that an interruption before
// this point, even SIGKILL, leaves nothing behind.
failure temporary_file::link_in(const output_target& target)
{
    std::array<char, 32> self{};
    std::snprintf(self.data(), self.size(), "/proc/self/fd/%d", descriptor_);
    return under_new_name(target.name, [this, &self](const char* name) {
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

failure temporary_file::rename_over(const output_target& target)
{
    // The name must still hold what was found at the start, and a name that held nothing may
    // not gain a file in the meantime: a rename never follows a link, but it would replace a
    // file that someone else put there.
    struct stat now {};
    const bool present = fstatat(directory_, target.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (present != target.exists || (present && !same_file(now, target.old))) {
        return refusal(failure_cause::changed, "the output changed during the run");
    }
    const signals_held held;
    int renamed = -1;
#if defined(RENAME_NOREPLACE) || defined(RENAME_EXCL)
    if (!target.exists) {
        renamed = rename_no_replace(directory_, name_.data(), target.name.c_str());
    }
    if (renamed != 0 && (target.exists || errno == EINVAL || errno == ENOSYS || errno == ENOTSUP))
#endif
    {
        renamed = renameat(directory_, name_.data(), directory_, target.name.c_str());
    }
    if (renamed != 0) {
        return system_error(errno);
    }
    forget_on_signal();
    name_[0] = '\0';
    return {};
}

failure temporary_file::remove() noexcept
{
    close_if_open(descriptor_);
    const signals_held held;
    if (name_[0] == '\0') {
        return {};
    }
    if (unlinkat(directory_, name_.data(), 0) != 0 && errno != ENOENT) {
        return system_error(errno);
    }
    forget_on_signal();
    name_[0] = '\0';
    return {};
}

}  // namespace fwsplice
