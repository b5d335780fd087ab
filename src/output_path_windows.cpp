// Windows: what the output path leads to.
#include "output_steps.hpp"

#include "handle_windows.hpp"

#include <array>
#include <cstdio>

namespace fwsplice {

output_target::~output_target() = default;

// A disk file that is not read-only, or a name that holds nothing yet, can be replaced. A
// read-only file is refused, as opening it for writing would be. Directories, reparse points
// and devices (NUL, CON, which answer attribute queries too) are written in place.
failure find_output(const char* path, output_target& target)
{
    target.name = path;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        target.replaceable = error == ERROR_FILE_NOT_FOUND;
        return target.replaceable ? failure{} : system_error(static_cast<long>(error));
    }
    target.exists = true;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return system_error(ERROR_ACCESS_DENIED);
    }
    if ((attributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return {};
    }
    const HANDLE existing =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        target.replaceable = GetFileType(existing) == FILE_TYPE_DISK;
        CloseHandle(existing);
    }
    return {};
}

file_identity identify_output(const output_target& target)
{
    return target.exists ? identify_path(target.name.c_str()) : file_identity{};
}

failure remove_output(const output_target& target)
{
    return DeleteFileA(target.name.c_str()) != 0 ? failure{} : last_failure();
}

}  // namespace fwsplice
