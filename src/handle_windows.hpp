#pragma once

// Small helpers on handles, shared by the Windows steps of writing the output.

#include "output_steps.hpp"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstddef>

namespace fwsplice {

inline bool write_all(HANDLE handle, const unsigned char* bytes, std::size_t size) noexcept
{
    while (size > 0) {
        const DWORD chunk = size < (DWORD{1} << 30) ? static_cast<DWORD>(size) : DWORD{1} << 30;
        DWORD written = 0;
        if (WriteFile(handle, bytes, chunk, &written, nullptr) == 0 || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

inline bool close_handle(HANDLE& handle) noexcept
{
    const HANDLE closing = handle;
    handle = INVALID_HANDLE_VALUE;
    return closing == INVALID_HANDLE_VALUE || CloseHandle(closing) != 0;
}

inline failure last_failure() noexcept
{
    return system_error(static_cast<long>(GetLastError()));
}

}  // namespace fwsplice
