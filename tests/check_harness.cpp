#include "check_harness.hpp"

namespace {

void put(std::string& bytes, std::size_t at, std::uint64_t value, std::size_t width, bool big)
{
    if (bytes.size() < at + width) {
        bytes.resize(at + width, '\0');
    }
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t index = big ? at + width - 1 - i : at + i;
        bytes[index] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

}  // namespace

std::string make_elf(const elf_shape& shape)
{
    const bool wide = shape.wide;
    const bool big = shape.big_endian;
    const std::size_t header = wide ? 64 : 52;
    const std::size_t entry = wide ? 56 : 32;
    std::string bytes(header, '\0');
    bytes.replace(0, 4,
                  "\x7f"
                  "ELF");
    bytes[4] = wide ? 2 : 1;
    bytes[5] = big ? 2 : 1;
    bytes[6] = 1;
    const std::uint64_t table = shape.table != 0 ? shape.table : header;
    put(bytes, wide ? 32 : 28, table, wide ? 8 : 4, big);
    put(bytes, wide ? 54 : 42, shape.entry_size != 0 ? shape.entry_size : entry, 2, big);
    put(bytes, wide ? 56 : 44, shape.entries != 0 ? shape.entries : shape.segments.size(), 2, big);
    for (std::size_t i = 0; i < shape.segments.size(); ++i) {
        const std::size_t at = header + i * entry;
        put(bytes, at, shape.segments[i].type, 4, big);
        put(bytes, at + (wide ? 24 : 12), shape.segments[i].address, wide ? 8 : 4, big);
        put(bytes, at + (wide ? 32 : 16), shape.segments[i].file_size, wide ? 8 : 4, big);
    }
    bytes.resize(shape.cut_to != 0 ? shape.cut_to : header + shape.segments.size() * entry, '\0');
    return bytes;
}

run_result run_program(const std::string& program, const std::vector<std::string>& args)
{
    run_options options;
    options.program = program;
    return run_fwsplice(args, options);
}

run_result run_image(const std::vector<std::string>& args)
{
    return run_program(FWSPLICE_IMAGE_BINARY, args);
}
