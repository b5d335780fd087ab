// Recognising the formats firmware ships in, by their content.
#include "input_format.hpp"

#include "input_file.hpp"
#include "text_records.hpp"

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
    return record_format(head, count, count < format_head_size);
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

}  // namespace fwsplice
