// POSIX: writing the output in place, where no rename can replace it.
#include "output_file.hpp"

#include "descriptor_posix.hpp"
#include "signals.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace fwsplice {

in_place_file::~in_place_file()
{
    close_if_open(descriptor_);
    close_if_open(spare_);
}

failure in_place_file::open(const output_target& target)
{
    const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (target.follow ? 0 : O_NOFOLLOW);
    // Only a regular file may be made here: a device or FIFO has to be there already.
    const int create = target.exists ? 0 : O_CREAT | O_EXCL;
    const bool held = target.existing >= 0;
    descriptor_ = openat(target.directory, target.name.c_str(),
                         flags | create | (held ? O_NONBLOCK : 0), 0666);
    struct stat info {};
    if (descriptor_ < 0 || fstat(descriptor_, &info) != 0) {
        return system_failure(errno);
    }
    if (held && !same_file(info, target.old)) {
        return refusal("the output changed during the run");
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
           same_file(output, standard_output) &&
           (S_ISREG(output.st_mode) || S_ISFIFO(output.st_mode) || S_ISSOCK(output.st_mode));
}

bool in_place_file::is_one_of(const input_identities& inputs) const noexcept
{
    struct stat output {};
    if (fstat(descriptor_, &output) != 0) {
        return false;
    }
    return std::any_of(inputs.begin(), inputs.end(), [&output](const file_identity& input) {
        return input.known && input.device == static_cast<std::uint64_t>(output.st_dev) &&
               input.index == static_cast<std::uint64_t>(output.st_ino);
    });
}

failure in_place_file::write(const unsigned char* bytes, std::size_t size)
{
    if (regular_) {
        empty_on_signal(descriptor_);
    }
    if ((regular_ && ftruncate(descriptor_, 0) != 0) || !write_all(descriptor_, bytes, size)) {
        return system_failure(errno);
    }
    forget_on_signal();
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (::close(descriptor) != 0) {
        return system_failure(errno);
    }
    return {};
}

void in_place_file::discard(const output_target& target) noexcept
{
    forget_on_signal();
    const int descriptor = descriptor_ >= 0 ? descriptor_ : spare_;
    struct stat written {};
    struct stat named {};
    if (!regular_ || fstat(descriptor, &written) != 0) {
        return;
    }
    const bool removed =
        !target.follow &&
        fstatat(target.directory, target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(named, written) && unlinkat(target.directory, target.name.c_str(), 0) == 0;
    // Where even emptying fails, nothing is left to try; the status already says it failed.
    if (!removed && ftruncate(descriptor, 0) != 0) {
        return;
    }
}

}  // namespace fwsplice
