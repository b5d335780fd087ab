#include "input_file.hpp"

#if defined(_WIN32)
#include <windows.h>

#include <sys/stat.h>
#include <sys/types.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fwsplice {

#if defined(_WIN32)

// Windows has no FIFO that an open could wait on, so the stream opens as usual; a directory
// cannot be opened at all and is told apart by its attributes.
file_handle open_regular_file(const char* path, input_open& result) noexcept
{
    file_handle file{std::fopen(path, "rb")};
    if (!file) {
        const DWORD attributes = GetFileAttributesA(path);
        const bool directory =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        result = directory ? input_open::not_regular : input_open::not_opened;
        return nullptr;
    }
    struct _stat64 info {};
    if (_fstat64(_fileno(file.get()), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
        result = input_open::not_regular;
        return nullptr;
    }
    result = input_open::opened;
    return file;
}

#else

file_handle open_regular_file(const char* path, input_open& result) noexcept
{
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        result = input_open::not_opened;
        return nullptr;
    }
    struct stat info {};
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
        close(descriptor);
        result = input_open::not_opened;
        return nullptr;
    }
    result = input_open::opened;
    return file;
}

#endif

}  // namespace fwsplice
