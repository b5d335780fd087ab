// Recognising the formats firmware ships in, by their content.
#include "input_format.hpp"

#include "input_file.hpp"
#include "text_records.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace fwsplice {

input_format recognise_format(const unsigned char* head, std::size_t count) noexcept
{
    if (count >= 4 && std::memcmp(head,
                                  "\x7f"
                                  "ELF",
                                  4) == 0) {
        return input_format::elf;
    }
    const auto* const end =
        std::find_if(head, head + count, [](unsigned char c) { return c == '\r' || c == '\n'; });
    const auto length = static_cast<std::size_t>(end - head);
    if (length == count && count == format_head_size) {
        return input_format::raw;  // a line longer than any record
    }
    return record_format(head, length);
}

bool peek_format(std::FILE* file, input_format& format) noexcept
{
    std::array<unsigned char, format_head_size> head{};
    const std::size_t count = std::fread(head.data(), 1, head.size(), file);
    format = std::ferror(file) != 0 ? input_format::raw : recognise_format(head.data(), count);
    std::clearerr(file);
    return seek_input(file, 0);
}

const char* format_title(input_format format) noexcept
{
    switch (format) {
    case input_format::elf:
        return "an ELF file";
    case input_format::intel_hex:
        return "an Intel HEX file";
    case input_format::srecord:
        return "a Motorola S-record file";
    default:
        return "a raw image";
    }
}

const char* raw_image_command(input_format format) noexcept
{
    switch (format) {
    case input_format::intel_hex:
        return "objcopy -I ihex -O binary";
    case input_format::srecord:
        return "objcopy -I srec -O binary";
    default:
        return "objcopy -O binary";
    }
}

std::uint64_t loaded_bytes::lowest() const noexcept
{
    std::uint64_t lowest = pieces.empty() ? 0 : pieces.front().address;
    for (const loaded_piece& piece : pieces) {
        lowest = std::min(lowest, piece.address);
    }
    return lowest;
}

bool loaded_bytes::reaches(std::uint64_t bound, std::uint64_t& first) const noexcept
{
    bool found = false;
    for (const loaded_piece& piece : pieces) {
        // Readers keep address + size - 1 within 64 bits.
        if (piece.address + (piece.size - 1) >= bound) {
            const std::uint64_t at = std::max(piece.address, bound);
            first = found ? std::min(first, at) : at;
            found = true;
        }
    }
    return found;
}

}  // namespace fwsplice
