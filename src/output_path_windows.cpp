// Windows: what the output path leads to, and what the system's errors mean to the writer.
#include "output_steps.hpp"

#include "handle_windows.hpp"

#include <array>
#include <cstdio>

namespace fwsplice {

failure system_failure(long code) noexcept
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return {failure_cause::missing, code, nullptr};
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        return {failure_cause::denied, code, nullptr};
    case ERROR_NOT_SAME_DEVICE:
    case ERROR_WRITE_PROTECT:
        return {failure_cause::place_refuses, code, nullptr};
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_TOO_MANY_OPEN_FILES:
        return {failure_cause::shortage, code, nullptr};
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return {failure_cause::busy, code, nullptr};
    default:
        return {failure_cause::other, code, nullptr};
    }
}

const char* describe(const failure& reason) noexcept
{
    static std::array<char, 512> message{};
    if (reason.text != nullptr) {
        return reason.text;
    }
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(reason.code), 0, message.data(),
                                  static_cast<DWORD>(message.size()), nullptr);
    if (length == 0) {
        std::snprintf(message.data(), message.size(), "Windows error %ld", reason.code);
        return message.data();
    }
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n' ||
                          message[length - 1] == '.')) {
        message[--length] = '\0';
    }
    return message.data();
}

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
        return target.replaceable ? failure{} : system_failure(static_cast<long>(error));
    }
    target.exists = true;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return system_failure(ERROR_ACCESS_DENIED);
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
