#pragma once

// Small helpers on file descriptors, shared by the POSIX output files.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace fwsplice {

/// For a descriptor that only holds a place: path-only where the system has such, else
/// read-only.
#if defined(O_PATH)
inline constexpr int path_only = O_PATH;
#else
inline constexpr int path_only = O_RDONLY;
#endif

inline void close_if_open(int& descriptor) noexcept
{
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

/// Writes every byte, through short writes and interruptions; false with errno set otherwise.
inline bool write_all(int descriptor, const unsigned char* bytes, std::size_t size) noexcept
{
    while (size > 0) {
        const ssize_t written = ::write(descriptor, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

inline bool same_file(const struct stat& one, const struct stat& other) noexcept
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

}  // namespace fwsplice
