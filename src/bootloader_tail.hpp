#pragma once

#include <cstdint>
#include <cstdio>

namespace fwsplice {

/// What lies past the bootloader region of a bootloader that is longer than it.
struct bootloader_tail {
    std::int64_t first_data;  ///< offset of the first byte that is not gap_value, or -1
    bool read_error;          ///< the tail could not be read to its end
};

/// Reads an open bootloader from offset `from` (its stream already there) to its end, looking
/// for bytes that are not the gap value: a bootloader padded with erased flash loses nothing
/// when it is cut, one with code or data there (or a sketch passed as the bootloader) does.
bootloader_tail scan_bootloader_tail(std::FILE* file, std::int64_t from) noexcept;

}  // namespace fwsplice
