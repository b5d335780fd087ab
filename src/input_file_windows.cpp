// Windows: opening an input.
#include "input_file.hpp"

#include <windows.h>

#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace fwsplice {

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

bool seek_input(std::FILE* file, std::int64_t offset) noexcept
{
    return _fseeki64(file, offset, SEEK_SET) == 0;
}

std::int64_t measure(std::FILE* file) noexcept
{
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const __int64 size = _ftelli64(file);
    if (size < 0 || _fseeki64(file, 0, SEEK_SET) != 0) {
        return -1;
    }
    return size;
}

namespace {

file_identity identify_handle(HANDLE handle) noexcept
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info) == 0) {
        return {};
    }
    return {true, info.dwVolumeSerialNumber,
            (std::uint64_t{info.nFileIndexHigh} << 32U) | info.nFileIndexLow};
}

}  // namespace

file_identity identify(std::FILE* file) noexcept
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C runtime hands a handle out as a number.
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))));
}

// Opened for no access at all, which any file allows, and with links followed.
file_identity identify_path(const char* path) noexcept
{
    if (path == nullptr) {
        return {};
    }
    const HANDLE handle =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    const file_identity identity = identify_handle(handle);
    CloseHandle(handle);
    return identity;
}

}  // namespace fwsplice
