// POSIX: opening an input.
#include "input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace fwsplice {

// The path's type is checked before it is opened, since opening a FIFO releases a writer
// waiting on it and opening a serial port resets many boards. The type is checked again on
// the descriptor, in case the path was swapped in between, and the open does not wait.
file_handle open_regular_file(const char* path, input_open& result) noexcept
{
    struct stat info {};
    if (stat(path, &info) != 0) {
        result = input_open::not_opened;
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        result = input_open::not_regular;
        return nullptr;
    }
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        result = input_open::not_opened;
        return nullptr;
    }
    const int flags = fcntl(descriptor, F_GETFL);
    // Back to blocking reads once it is known to be a regular file.
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
        fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(descriptor);
        result = input_open::not_regular;
        return nullptr;
    }
    file_handle file{fdopen(descriptor, "rb")};
    if (!file) {
        const int error = errno;
        close(descriptor);
        errno = error;
        result = input_open::not_opened;
        return nullptr;
    }
    result = input_open::opened;
    return file;
}

std::int64_t measure(std::FILE* file) noexcept
{
    if (fseeko(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const off_t size = ftello(file);
    if (size < 0 || fseeko(file, 0, SEEK_SET) != 0) {
        return -1;
    }
    return size;
}

bool seek_input(std::FILE* file, std::int64_t offset) noexcept
{
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

file_identity identify(std::FILE* file) noexcept
{
    struct stat info {};
    if (fstat(fileno(file), &info) != 0) {
        return {};
    }
    return {true, static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

file_identity identify_path(const char* path) noexcept
{
    struct stat info {};
    if (path == nullptr || stat(path, &info) != 0) {
        return {};
    }
    return {true, static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace fwsplice
