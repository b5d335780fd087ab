#pragma once

// Inputs of the build's check: ELF files laid out as a test says, and the check run as the build
// runs it.
#include "run_fwsplice.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct segment {
    std::uint32_t type;
    std::uint64_t address;
    std::uint64_t file_size;
};

/// The ELF layout a test changes: by default a header, then its program headers.
struct elf_shape {
    bool wide = false;
    bool big_endian = false;
    std::vector<segment> segments;
    std::uint64_t table = 0;       ///< program headers' offset; 0: right after the header
    std::uint16_t entry_size = 0;  ///< 0: the format's
    std::uint16_t entries = 0;     ///< 0: as many as segments
    std::size_t cut_to = 0;        ///< cut the file to this many bytes; 0: whole
};

/// An ELF file with these program headers and no section headers, as no linker makes one.
std::string make_elf(const elf_shape& shape);

/// Runs a program the tests need, such as a cross compiler, to its end.
run_result run_program(const std::string& program, const std::vector<std::string>& args);

/// Runs fwsplice-image.
run_result run_image(const std::vector<std::string>& args);
