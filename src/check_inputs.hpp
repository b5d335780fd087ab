#pragma once

#include "check_request.hpp"
#include "file_handle.hpp"
#include "input_format.hpp"

#include <cstdint>
#include <cstdio>

namespace fwsplice {

/// Opens and measures an input as the tool does, so that a FIFO or a device given as one fails
/// the check instead of holding up the build; where it cannot, size is -1 and reason says why.
file_handle open_checked(const char* path, std::int64_t& size, const char*& reason) noexcept;

/// Where the bytes of an open file land in flash, whatever its format; unknown for raw bytes.
loaded_bytes read_loaded(std::FILE* file) noexcept;

/// Where an input's raw bytes start in flash, where the file it was converted from tells.
struct link_address {
    const char* role = nullptr;
    const char* name = nullptr;
    bool known = false;
    std::uint64_t address = 0;
};

/// Reads where a converted input is linked; false, after a line that says why, where its
/// source cannot be read or trusted.
bool read_link_address(const char* role, const converted_input& input,
                       link_address& linked) noexcept;

/// Checks that the inputs are linked where the image puts them: at FLASH_ORIGIN and 0x2000
/// above it, or without one, 0x2000 apart. False after a line that says what is wrong.
bool linked_in_place(const check_request& request, const link_address& bootloader,
                     const link_address& sketch) noexcept;

}  // namespace fwsplice
