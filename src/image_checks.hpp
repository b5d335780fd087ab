#pragma once

// What fwsplice-image checks before it writes a byte. Each check prints the one line that
// says what is wrong, and returns false.

#include "file_handle.hpp"
#include "image_request.hpp"
#include "input_format.hpp"
#include "loaded_bytes.hpp"

#include <cstdint>

namespace fwsplice {

/// An input as it was read: its file, its format, where its bytes land, and the size of its
/// raw image (the file's size where it is raw).
struct image_input {
    const char* role = nullptr;  ///< "bootloader" or "sketch"
    const char* path = nullptr;
    file_handle file;
    input_format format = input_format::raw;
    loaded_bytes loaded;
    std::uint64_t raw_size = 0;
};

/// The image is no larger than FLASH_SIZE, and than an image can be.
bool sketch_fits(const image_request& request, const image_input& sketch) noexcept;

/// The bootloader has nothing past its 8192 bytes but erased flash; a sketch given as the
/// bootloader shows so. Reads a raw bootloader's tail, and leaves its stream anywhere.
bool bootloader_fits(const image_input& bootloader) noexcept;

/// The inputs that tell where they are linked are linked where the image puts them: at
/// FLASH_ORIGIN and 0x2000 above it, or without one, 0x2000 apart.
bool linked_in_place(const image_request& request, const image_input& bootloader,
                     const image_input& sketch) noexcept;

/// An Intel HEX copy can give every byte of the image an address.
bool hex_can_hold(const image_request& request, std::uint64_t image_size) noexcept;

/// The line a linker's memory summary would give, on standard output: the image against the
/// flash, and the bootloader against its region.
void report_usage(const image_request& request, std::uint64_t image_size,
                  std::uint64_t bootloader_size) noexcept;

}  // namespace fwsplice
