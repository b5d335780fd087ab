#pragma once

#include <cstdint>
#include <cstdio>

namespace fwsplice {

/// What the ELF header and program headers of a file say about where it loads.
struct elf_load {
    enum class kind {
        loads,    ///< an ELF file with loaded bytes: lowest_address holds
        not_elf,  ///< not an ELF file at all
        broken    ///< ELF, but the headers cannot be trusted; reason says why
    } result = kind::not_elf;
    std::uint64_t lowest_address = 0;  ///< lowest physical address of a segment with bytes
    const char* reason = nullptr;
};

/// The lowest physical address of the loaded segments that hold bytes, where `objcopy -O
/// binary` starts the raw image. ELF32 and ELF64, either byte order; every offset and count
/// is checked against the file's size, so that a hostile file is never read outside itself.
elf_load read_elf_load(std::FILE* file) noexcept;

}  // namespace fwsplice
