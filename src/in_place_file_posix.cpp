// POSIX: writing the output in place, where no rename can replace it.
#include "output_steps.hpp"

#include "descriptor_posix.hpp"
#include "signals.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace fwsplice {
namespace {

/// True when the open file reads exactly as bytes from its start; reading it fails the test.
bool reads_as(int descriptor, const unsigned char* bytes, std::size_t size) noexcept
{
    std::array<unsigned char, 65536> chunk{};
    off_t offset = 0;
    while (size > 0) {
        const ssize_t got = pread(descriptor, chunk.data(), std::min(size, chunk.size()), offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || std::memcmp(chunk.data(), bytes, static_cast<std::size_t>(got)) != 0) {
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += got;
    }
    return true;
}

}  // namespace

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
        return system_error(errno);
    }
    // What was looked at is what gets written: another file put at the name meanwhile, which
    // the sticky-directory rules were never applied to, is refused.
    if (target.exists && !target.follow && !same_file(info, target.old)) {
        return refusal(failure_cause::changed, "the output changed during the run");
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

bool in_place_file::is_one_of(const output_target& target, const input_views& inputs) const
{
    struct stat output {};
    if (fstat(descriptor_, &output) != 0) {
        return true;
    }
    const bool same = std::any_of(inputs.begin(), inputs.end(), [&output](const input_view& input) {
        return input.identity.known &&
               input.identity.device == static_cast<std::uint64_t>(output.st_dev) &&
               input.identity.index == static_cast<std::uint64_t>(output.st_ino);
    });
    const auto alike = [&output](const input_view& input) {
        return S_ISREG(output.st_mode) && output.st_size == input.size;
    };
    if (same || std::none_of(inputs.begin(), inputs.end(), alike)) {
        return same;
    }
    // Opened for reading through the same name, as the file found, to compare its bytes.
    const int flags =
        O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (target.follow ? 0 : O_NOFOLLOW);
    int reader = openat(target.directory, target.name.c_str(), flags);
    struct stat read {};
    const bool readable = reader >= 0 && fstat(reader, &read) == 0 && same_file(read, output);
    const bool copy =
        !readable || std::any_of(inputs.begin(), inputs.end(), [&](const input_view& input) {
            return alike(input) && reads_as(reader, input.head, input.head_size);
        });
    close_if_open(reader);
    return copy;
}

failure in_place_file::write(const unsigned char* bytes, std::size_t size)
{
    // The spare descriptor stays open until the end, so that a signal empties the file
    // whichever of the two is still open.
    if (regular_) {
        empty_on_signal(spare_ >= 0 ? spare_ : descriptor_);
    }
    if ((regular_ && ftruncate(descriptor_, 0) != 0) || !write_all(descriptor_, bytes, size)) {
        return system_error(errno);
    }
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (::close(descriptor) != 0) {
        return system_error(errno);
    }
    forget_on_signal();
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
        !target.follow &&
        fstatat(target.directory, target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(named, written) && unlinkat(target.directory, target.name.c_str(), 0) == 0;
    // Where even emptying fails, nothing is left to try; the status already says it failed.
    if (removed || ftruncate(descriptor, 0) == 0) {
        forget_on_signal();
    }
}

}  // namespace fwsplice
