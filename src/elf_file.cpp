#include "elf_file.hpp"

#include "input_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <exception>

namespace fwsplice {
namespace {

constexpr std::uint64_t loadable = 1;   // PT_LOAD
constexpr std::uint64_t no_bits = 8;    // SHT_NOBITS: takes memory, not file bytes
constexpr std::uint64_t allocated = 2;  // SHF_ALLOC
constexpr std::uint64_t most_headers = 65535;

/// An ELF file's fields, read in its own width and byte order.
class elf_reader {
public:
    elf_reader(std::FILE* file, std::int64_t size) noexcept : file_(file), size_(size) {}

    /// Whether count bytes at offset lie within the file.
    [[nodiscard]] bool holds(std::uint64_t offset, std::uint64_t count) const noexcept
    {
        return size_ >= 0 && offset <= static_cast<std::uint64_t>(size_) &&
               count <= static_cast<std::uint64_t>(size_) - offset;
    }

    /// Reads count bytes at offset, only where they lie within the file.
    [[nodiscard]] bool read(std::uint64_t offset, unsigned char* bytes,
                            std::size_t count) const noexcept
    {
        return holds(offset, count) && seek_input(file_, static_cast<std::int64_t>(offset)) &&
               std::fread(bytes, 1, count, file_) == count;
    }

    void set_format(bool wide, bool big_endian) noexcept
    {
        wide_ = wide;
        big_endian_ = big_endian;
    }
    [[nodiscard]] bool wide() const noexcept { return wide_; }

    /// An unsigned number of `width` bytes at `at` within bytes.
    [[nodiscard]] std::uint64_t number(const unsigned char* bytes, std::size_t at,
                                       std::size_t width) const noexcept
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t index = big_endian_ ? at + i : at + width - 1 - i;
            value = (value << 8U) | bytes[index];
        }
        return value;
    }
    /// An address, offset or size: 8 bytes in ELF64, 4 in ELF32, at the offset of its format.
    [[nodiscard]] std::uint64_t word(const unsigned char* bytes, std::size_t narrow_at,
                                     std::size_t wide_at) const noexcept
    {
        return wide_ ? number(bytes, wide_at, 8) : number(bytes, narrow_at, 4);
    }

private:
    std::FILE* file_;
    std::int64_t size_;
    bool wide_ = false;
    bool big_endian_ = false;
};

/// Where a table of headers is, as the ELF header gives it.
struct header_table {
    std::uint64_t offset = 0;
    std::uint64_t entry_size = 0;
    std::uint64_t entries = 0;
};

/// A loaded segment: where its bytes are in the file and in memory, and where they load.
struct segment {
    std::uint64_t offset;
    std::uint64_t virtual_address;
    std::uint64_t load_address;
    std::uint64_t file_size;
    std::uint64_t memory_size;
};

/// Reads the loaded segments; the reason where the table cannot be trusted.
const char* read_segments(const elf_reader& elf, const header_table& table,
                          std::vector<segment>& segments)
{
    if (!elf.holds(table.offset, 0)) {
        return "its ELF program headers lie outside the file";
    }
    if (table.entries == 0 || table.entries >= most_headers) {
        return "its ELF header gives no program headers, or an absurd count";
    }
    const std::size_t needed = elf.wide() ? 56 : 32;
    if (table.entry_size < needed) {
        return "its ELF program headers are smaller than their format";
    }
    std::array<unsigned char, 56> entry{};
    for (std::uint64_t i = 0; i < table.entries; ++i) {
        // Both factors are below 2^16, and the table's offset is within the file.
        if (!elf.read(table.offset + i * table.entry_size, entry.data(), needed)) {
            return "its ELF program headers lie outside the file";
        }
        if (elf.number(entry.data(), 0, 4) == loadable) {
            segments.push_back({elf.word(entry.data(), 4, 8), elf.word(entry.data(), 8, 16),
                                elf.word(entry.data(), 12, 24), elf.word(entry.data(), 16, 32),
                                elf.word(entry.data(), 20, 40)});
        }
    }
    return nullptr;
}

/// Adds a piece, where its last byte has an address.
bool add_piece(loaded_bytes& loaded, std::uint64_t address, std::uint64_t size,
               std::uint64_t offset)
{
    if (address > UINT64_MAX - (size - 1)) {
        return false;
    }
    loaded.pieces.push_back({address, size, offset});
    return true;
}

loaded_bytes from_segments(const std::vector<segment>& segments)
{
    loaded_bytes loaded;
    for (const segment& loads : segments) {
        const bool kept = loads.file_size == 0 ||
                          add_piece(loaded, loads.load_address, loads.file_size, loads.offset);
        // cppcheck-suppress useStlAlgorithm
        if (!kept) {
            return broken_file("its ELF segments end past the last address");
        }
    }
    if (loaded.pieces.empty()) {
        return broken_file("its ELF file has no loaded segment with bytes");
    }
    loaded.result = loaded_bytes::kind::loads;
    return loaded;
}

/// The load address of a section's first byte: through the loaded segment that holds it, in
/// the file and in memory, as objcopy places it; its own address where none does.
std::uint64_t load_address(const std::vector<segment>& segments, std::uint64_t offset,
                           std::uint64_t address, std::uint64_t size) noexcept
{
    for (const segment& loads : segments) {
        const bool in_file = offset >= loads.offset && offset - loads.offset <= loads.file_size &&
                             size <= loads.file_size - (offset - loads.offset);
        const bool in_memory = address >= loads.virtual_address &&
                               address - loads.virtual_address <= loads.memory_size &&
                               size <= loads.memory_size - (address - loads.virtual_address);
        if (in_file && in_memory) {
            return loads.load_address + (offset - loads.offset);
        }
    }
    return address;
}

loaded_bytes from_sections(const elf_reader& elf, const header_table& table,
                           const std::vector<segment>& segments)
{
    const std::size_t needed = elf.wide() ? 64 : 40;
    if (table.entry_size < needed || table.entries > UINT64_MAX / table.entry_size ||
        !elf.holds(table.offset, table.entries * table.entry_size)) {
        return broken_file("its ELF section headers lie outside the file");
    }
    loaded_bytes loaded;
    std::array<unsigned char, 64> entry{};
    for (std::uint64_t i = 0; i < table.entries; ++i) {
        if (!elf.read(table.offset + i * table.entry_size, entry.data(), needed)) {
            return broken_file("its ELF section headers lie outside the file");
        }
        const std::uint64_t type = elf.number(entry.data(), 4, 4);
        const std::uint64_t flags = elf.word(entry.data(), 8, 8);
        const std::uint64_t address = elf.word(entry.data(), 12, 16);
        const std::uint64_t offset = elf.word(entry.data(), 16, 24);
        const std::uint64_t size = elf.word(entry.data(), 20, 32);
        if (type == 0 || type == no_bits || (flags & allocated) == 0 || size == 0) {
            continue;
        }
        if (!elf.holds(offset, size)) {
            return broken_file("its ELF sections lie outside the file");
        }
        if (!add_piece(loaded, load_address(segments, offset, address, size), size, offset)) {
            return broken_file("its ELF sections end past the last address");
        }
    }
    if (loaded.pieces.empty()) {
        return broken_file("its ELF file has no loaded section with bytes");
    }
    loaded.result = loaded_bytes::kind::loads;
    return loaded;
}

/// The section header table; with more than 65279 sections, the count is in the first entry.
header_table section_table(const elf_reader& elf, const unsigned char* header)
{
    header_table table{elf.word(header, 32, 40), elf.number(header, elf.wide() ? 58 : 46, 2),
                       elf.number(header, elf.wide() ? 60 : 48, 2)};
    std::array<unsigned char, 64> first{};
    if (table.offset != 0 && table.entries == 0 && table.entry_size >= (elf.wide() ? 64U : 40U) &&
        elf.read(table.offset, first.data(), elf.wide() ? 64 : 40)) {
        table.entries = elf.word(first.data(), 20, 32);
    }
    return table;
}

loaded_bytes read_headers(const elf_reader& elf, const unsigned char* header)
{
    const std::size_t counts = elf.wide() ? 54 : 42;
    const header_table programs{elf.word(header, 28, 32), elf.number(header, counts, 2),
                                elf.number(header, counts + 2, 2)};
    const header_table sections = section_table(elf, header);
    const bool has_sections = sections.offset != 0 && sections.entries != 0;
    std::vector<segment> segments;
    if (!has_sections || programs.entries != 0) {
        if (const char* const reason = read_segments(elf, programs, segments)) {
            return broken_file(reason);
        }
    }
    return has_sections ? from_sections(elf, sections, segments) : from_segments(segments);
}

}  // namespace

loaded_bytes read_elf(std::FILE* file) noexcept
{
    elf_reader elf{file, measure(file)};
    std::array<unsigned char, 64> header{};
    if (!elf.read(0, header.data(), 4) || header[0] != 0x7F || header[1] != 'E' ||
        header[2] != 'L' || header[3] != 'F') {
        return {};
    }
    if (!elf.read(0, header.data(), 16)) {
        return broken_file("its ELF header is cut short");
    }
    if ((header[4] != 1 && header[4] != 2) || (header[5] != 1 && header[5] != 2)) {
        return broken_file("an ELF file of unknown class or byte order");
    }
    elf.set_format(header[4] == 2, header[5] == 2);
    if (!elf.read(0, header.data(), elf.wide() ? 64 : 52)) {
        return broken_file("its ELF header is cut short");
    }
    try {
        loaded_bytes loaded = read_headers(elf, header.data());
        loaded.entry = elf.word(header.data(), 24, 24);
        return loaded;
    } catch (const std::exception&) {  // no memory for the segments or the pieces
        return broken_file(std::strerror(ENOMEM));
    }
}

read_problem place_elf(std::FILE* file, const loaded_bytes& loaded, image_filler& filler) noexcept
{
    // A block at a time, so that the run needs little more memory than the image.
    constexpr std::uint64_t block = 1 << 20;
    try {
        std::vector<unsigned char> bytes;
        for (const loaded_piece& piece : loaded.pieces) {
            if (!seek_input(file, static_cast<std::int64_t>(piece.offset))) {
                return {std::strerror(errno)};
            }
            for (std::uint64_t done = 0; done < piece.size;) {
                bytes.resize(static_cast<std::size_t>(std::min(block, piece.size - done)));
                if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
                    return {std::ferror(file) != 0 ? std::strerror(errno)
                                                   : "shorter than it measured"};
                }
                read_problem problem;
                if (!filler.put(piece.address + done, bytes.data(), bytes.size(), problem)) {
                    return problem;
                }
                done += bytes.size();
            }
        }
    } catch (const std::exception&) {
        return {std::strerror(ENOMEM)};
    }
    return {};
}

}  // namespace fwsplice
