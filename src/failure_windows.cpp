// Windows: what the system's errors mean to the writer, step by step. No other file reads a
// GetLastError() for the writer's decisions.
#include "failure.hpp"

#include <windows.h>

#include <array>
#include <cstdio>

namespace fwsplice {

failure_cause cause_of(write_step step, const failure& reason) noexcept
{
    static_cast<void>(step);
    if (!reason.failed || reason.own != failure_cause::none) {
        return reason.own;
    }
    switch (reason.code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return failure_cause::missing;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        return failure_cause::denied;
    case ERROR_NOT_SAME_DEVICE:
    case ERROR_WRITE_PROTECT:
        return failure_cause::place_refuses;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_TOO_MANY_OPEN_FILES:
        return failure_cause::shortage;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return failure_cause::busy;
    default:
        return failure_cause::other;
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

}  // namespace fwsplice
