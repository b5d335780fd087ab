#pragma once

#include "loaded_bytes.hpp"

#include <cstdio>

namespace fwsplice {

/// Where the bytes of an ELF file land in flash, as `objcopy -O binary` lays them out: each
/// section that is allocated and occupies file bytes, at the load address that the loaded
/// segment holding it gives it; in a file without section headers, the loaded segments with
/// bytes. ELF32 and ELF64, either byte order; every offset and count is checked against the
/// file's size, so that a hostile file is never read outside itself. Unknown where the file
/// is not ELF at all.
loaded_bytes read_elf(std::FILE* file) noexcept;

/// Reads the pieces that read_elf() found into the file's raw image.
read_problem place_elf(std::FILE* file, const loaded_bytes& loaded, image_filler& filler) noexcept;

}  // namespace fwsplice
