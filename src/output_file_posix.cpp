// POSIX: what the output path leads to, and writing in place.
#include "output_file.hpp"

#include "descriptor_posix.hpp"

#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

namespace fwsplice {
namespace {

/// Links followed before giving up, as the kernel does.
constexpr int max_links = 40;

/// True for a directory where anyone may add names but only an entry's owner may remove it.
bool sticky_and_shared(const struct stat& directory) noexcept
{
    return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
}

/// The kernel's protections for shared sticky directories (fs.protected_symlinks and
/// fs.protected_regular), applied whatever the sysctls say: there, an entry owned by neither
/// this user nor the directory's owner could be changed under us by its owner.
bool foreign_in_shared_directory(const struct stat& entry, const struct stat& directory) noexcept
{
    return sticky_and_shared(directory) && entry.st_uid != geteuid() &&
           entry.st_uid != directory.st_uid;
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

}  // namespace

failure system_failure(long code) noexcept
{
    switch (code) {
    case EACCES:
    case EPERM:
        return {failure_kind::permission, code, nullptr};
    case EXDEV:
    case EBUSY:
        return {failure_kind::place, code, nullptr};
    default:
        return {failure_kind::other, code, nullptr};
    }
}

const char* describe(const failure& reason) noexcept
{
    return reason.text != nullptr ? reason.text : std::strerror(static_cast<int>(reason.code));
}

output_target::~output_target()
{
    close_if_open(existing_);
    close_if_open(directory_);
}

// One step of the walk: holds the directory of name open and looks at its last part. A link
// is followed only where the kernel would follow it; name then becomes the link's target.
failure output_target::look_at(std::string& name, bool& followed)
{
    followed = false;
    const std::size_t slash = name.rfind('/');
    const std::string prefix = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    directory_name_ = prefix.empty() ? "." : prefix;
    name_ = name.substr(prefix.size());
    close_if_open(directory_);
    directory_ = ::open(directory_name_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat directory {};
    if (directory_ < 0 || fstat(directory_, &directory) != 0) {
        return system_failure(errno);
    }
    if (name_.empty() || name_ == "." || name_ == "..") {
        return system_failure(EISDIR);
    }
    exists_ = fstatat(directory_, name_.c_str(), &old_, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists_) {
        old_ = {};
        return errno == ENOENT ? failure{} : system_failure(errno);
    }
    const bool link = S_ISLNK(old_.st_mode);
    if ((link || S_ISREG(old_.st_mode)) && foreign_in_shared_directory(old_, directory)) {
        return system_failure(EACCES);
    }
    if (!link || holds_made_up_links(directory_)) {
        follow_ = link;
        return {};
    }
    std::array<char, 4096> text{};
    const ssize_t length = readlinkat(directory_, name_.c_str(), text.data(), text.size());
    if (length <= 0 || static_cast<std::size_t>(length) == text.size()) {
        return system_failure(length < 0 ? errno : ENAMETOOLONG);
    }
    const std::string target(text.data(), static_cast<std::size_t>(length));
    name = target.front() == '/' ? target : prefix + target;
    followed = true;
    return {};
}

// The final name is found one link at a time, each read from a directory held open. The
// kernel's own walk of the path must then arrive at the same file; otherwise the path changed
// under us, and the run is refused rather than acting on a name read earlier.
failure output_target::find(const char* path)
{
    std::string name = path;
    bool followed = true;
    for (int links = 0; followed; ++links) {
        if (links == max_links) {
            return system_failure(ELOOP);
        }
        if (const failure looking = look_at(name, followed)) {
            return looking;
        }
    }
    if (follow_) {
        return {};
    }
    if (exists_ && S_ISREG(old_.st_mode)) {
        existing_ = openat(directory_, name_.c_str(),
                           O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (existing_ < 0 || fstat(existing_, &old_) != 0) {
            return system_failure(errno);
        }
    }
    struct stat through_path {};
    const bool found = stat(path, &through_path) == 0;
    if (!found && errno != ENOENT) {
        return system_failure(errno);
    }
    if (found != exists_ || (exists_ && !same_file(through_path, old_))) {
        return refusal("the path changed while it was followed");
    }
    replaceable_ = !exists_ || S_ISREG(old_.st_mode);
    return {};
}

in_place_file::~in_place_file()
{
    close_if_open(descriptor_);
    close_if_open(spare_);
}

failure in_place_file::open(const output_target& target)
{
    if (target.existing_ >= 0) {
        descriptor_ = fcntl(target.existing_, F_DUPFD_CLOEXEC, 0);
    } else {
        const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (target.follow_ ? 0 : O_NOFOLLOW);
        // Only a regular file may be made here: a device or FIFO has to be there already.
        const int create = target.exists_ ? 0 : O_CREAT | O_EXCL;
        descriptor_ = openat(target.directory_, target.name_.c_str(), flags | create, 0666);
    }
    struct stat info {};
    if (descriptor_ < 0 || fstat(descriptor_, &info) != 0) {
        return system_failure(errno);
    }
    regular_ = S_ISREG(info.st_mode);
    spare_ = fcntl(descriptor_, F_DUPFD_CLOEXEC, 0);
    return {};
}

bool in_place_file::is_standard_output() const noexcept
{
    struct stat output {};
    struct stat standard_output {};
    return fstat(descriptor_, &output) == 0 && fstat(STDOUT_FILENO, &standard_output) == 0 &&
           same_file(output, standard_output);
}

failure in_place_file::write(const unsigned char* bytes, std::size_t size)
{
    if ((regular_ && ftruncate(descriptor_, 0) != 0) || !write_all(descriptor_, bytes, size)) {
        return system_failure(errno);
    }
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (::close(descriptor) != 0) {
        return system_failure(errno);
    }
    return {};
}

void in_place_file::discard(const output_target& target) noexcept
{
    const int descriptor = descriptor_ >= 0 ? descriptor_ : spare_;
    struct stat written {};
    struct stat named {};
    if (!regular_ || fstat(descriptor, &written) != 0) {
        return;
    }
    const bool removed =
        !target.follow_ &&
        fstatat(target.directory_, target.name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(named, written) && unlinkat(target.directory_, target.name_.c_str(), 0) == 0;
    // Where even emptying fails, nothing is left to try; the status already says it failed.
    if (!removed && ftruncate(descriptor, 0) != 0) {
        return;
    }
}

}  // namespace fwsplice
