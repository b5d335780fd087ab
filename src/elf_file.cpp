#include "elf_file.hpp"

#include "input_file.hpp"

#include <array>
#include <cstddef>

namespace fwsplice {
namespace {

constexpr std::uint32_t loadable = 1;  // PT_LOAD
constexpr std::uint64_t most_headers = 65535;

/// An ELF file's fields, read in its own width and byte order.
class elf_reader {
public:
    elf_reader(std::FILE* file, std::int64_t size) noexcept : file_(file), size_(size) {}

    /// Reads count bytes at offset, only where they lie within the file.
    [[nodiscard]] bool read(std::uint64_t offset, unsigned char* bytes,
                            std::size_t count) const noexcept
    {
        return size_ >= 0 && offset <= static_cast<std::uint64_t>(size_) &&
               count <= static_cast<std::uint64_t>(size_) - offset &&
               seek_input(file_, static_cast<std::int64_t>(offset)) &&
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
    /// An address or offset: 8 bytes in ELF64, 4 in ELF32.
    [[nodiscard]] std::uint64_t word(const unsigned char* bytes, std::size_t at) const noexcept
    {
        return number(bytes, at, wide_ ? 8 : 4);
    }

private:
    std::FILE* file_;
    std::int64_t size_;
    bool wide_ = false;
    bool big_endian_ = false;
};

elf_load broken(const char* reason) noexcept
{
    return {elf_load::kind::broken, 0, reason};
}

/// Where the program headers are, as the ELF header gives them.
struct header_table {
    std::uint64_t offset = 0;
    std::uint64_t entry_size = 0;
    std::uint64_t entries = 0;
};

/// The lowest physical address among the loaded segments with bytes.
elf_load lowest_load(const elf_reader& elf, const header_table& table) noexcept
{
    const std::size_t needed = elf.wide() ? 56 : 32;
    std::array<unsigned char, 56> entry{};
    bool found = false;
    std::uint64_t lowest = 0;
    for (std::uint64_t i = 0; i < table.entries; ++i) {
        // Both factors are below 2^16, and the table's offset is within the file.
        if (!elf.read(table.offset + i * table.entry_size, entry.data(), needed)) {
            return broken("its ELF program headers lie outside the file");
        }
        const std::uint64_t type = elf.number(entry.data(), 0, 4);
        const std::uint64_t physical = elf.word(entry.data(), elf.wide() ? 24 : 12);
        const std::uint64_t file_size = elf.word(entry.data(), elf.wide() ? 32 : 16);
        if (type == loadable && file_size > 0 && (!found || physical < lowest)) {
            lowest = physical;
            found = true;
        }
    }
    if (!found) {
        return broken("its ELF file has no loaded segment with bytes");
    }
    return {elf_load::kind::loads, lowest, nullptr};
}

}  // namespace

elf_load read_elf_load(std::FILE* file) noexcept
{
    elf_reader elf{file, measure(file)};
    std::array<unsigned char, 64> header{};
    if (!elf.read(0, header.data(), 4) || header[0] != 0x7F || header[1] != 'E' ||
        header[2] != 'L' || header[3] != 'F') {
        return {};
    }
    if (!elf.read(0, header.data(), 16)) {
        return broken("its ELF header is cut short");
    }
    if ((header[4] != 1 && header[4] != 2) || (header[5] != 1 && header[5] != 2)) {
        return broken("an ELF file of unknown class or byte order");
    }
    elf.set_format(header[4] == 2, header[5] == 2);
    if (!elf.read(0, header.data(), elf.wide() ? 64 : 52)) {
        return broken("its ELF header is cut short");
    }
    const std::size_t counts = elf.wide() ? 54 : 42;
    const header_table table{elf.word(header.data(), elf.wide() ? 32 : 28),
                             elf.number(header.data(), counts, 2),
                             elf.number(header.data(), counts + 2, 2)};
    if (!elf.read(table.offset, header.data(), 0)) {
        return broken("its ELF program headers lie outside the file");
    }
    if (table.entries == 0 || table.entries >= most_headers) {
        return broken("its ELF header gives no program headers, or an absurd count");
    }
    if (table.entry_size < (elf.wide() ? 56U : 32U)) {
        return broken("its ELF program headers are smaller than their format");
    }
    return lowest_load(elf, table);
}

}  // namespace fwsplice
