// Intel HEX records: read as objcopy reads them, and written as objcopy writes them.
#include "intel_hex.hpp"

#include <algorithm>
#include <array>

namespace fwsplice {
namespace {

enum : std::uint8_t { data_type, end_type, segment_type, segment_start, linear_type, linear_start };

std::uint64_t big_endian(const std::uint8_t* bytes, std::size_t count) noexcept
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value = (value << 8U) | bytes[i];
    }
    return value;
}

/// Appends one record, its checksum and a CRLF.
void put_record(std::string& text, std::uint8_t type, std::uint32_t address,
                const unsigned char* data, std::size_t count)
{
    constexpr const char* digits = "0123456789ABCDEF";
    std::array<char, 1 + 2 * (4 + 255 + 1) + 2> line{};
    std::size_t length = 0;
    unsigned sum = 0;
    const auto put_byte = [&](unsigned byte) {
        line[length++] = digits[(byte >> 4U) & 0xFU];
        line[length++] = digits[byte & 0xFU];
        sum += byte;
    };
    line[length++] = ':';
    put_byte(static_cast<unsigned>(count));
    put_byte((address >> 8U) & 0xFFU);
    put_byte(address & 0xFFU);
    put_byte(type);
    for (std::size_t i = 0; i < count; ++i) {
        put_byte(data[i]);
    }
    put_byte((0x100U - (sum & 0xFFU)) & 0xFFU);
    line[length++] = '\r';
    line[length++] = '\n';
    text.append(line.data(), length);
}

void put_base(std::string& text, std::uint8_t type, std::uint64_t value)
{
    const std::array<unsigned char, 2> bytes{static_cast<unsigned char>((value >> 8U) & 0xFFU),
                                             static_cast<unsigned char>(value & 0xFFU)};
    put_record(text, type, 0, bytes.data(), bytes.size());
}

}  // namespace

bool hex_records::read(const unsigned char* line, std::size_t length, text_record& record) noexcept
{
    std::size_t count = 0;
    if (length < 1 || line[0] != ':' || !decode_pairs(line + 1, length - 1, bytes_, count) ||
        count < 5 || bytes_[0] + 5U != count || byte_sum(bytes_, count) != 0 ||
        bytes_[3] > linear_start) {
        return false;
    }
    const std::uint8_t* const data = bytes_.data() + 4;
    const std::size_t size = bytes_[0];
    const std::uint8_t type = bytes_[3];
    record = {};
    switch (type) {
    case data_type:
        record = {text_record::kind::data, linear_ + segment_ + big_endian(bytes_.data() + 1, 2),
                  data, size};
        return true;
    case end_type:
        record.what = text_record::kind::end;
        return true;
    case segment_type:
    case linear_type:
        if (size != 2) {
            return false;
        }
        (type == segment_type ? segment_ : linear_) = big_endian(data, 2)
                                                      << (type == segment_type ? 4U : 16U);
        return true;
    default:  // a start address: CS:IP, or 32 bits
        if (size != 4) {
            return false;
        }
        record.what = text_record::kind::start;
        record.address = type == segment_start
                             ? (big_endian(data, 2) << 4U) + big_endian(data + 2, 2)
                             : big_endian(data, 4);
        return true;
    }
}

std::string hex_text(const unsigned char* image, std::size_t size, std::uint64_t origin,
                     std::uint64_t entry)
{
    constexpr std::size_t chunk = 16;
    std::string text;
    // Every byte once, so that the text is never copied to grow: 45 characters a full record,
    // a cut one at each 64 KiB, a base record (17) there, the start and end records.
    constexpr std::size_t record = 45;
    text.reserve((size / chunk + 1) * record + (size / 0x10000 + 2) * (record + 17) + 2 * record);
    std::uint64_t segment = 0;
    std::uint64_t linear = 0;
    for (std::size_t done = 0; done < size;) {
        const std::uint64_t where = origin + done;
        if (where > segment + linear + 0xFFFF) {
            if (linear == 0 && where <= 0xFFFFF) {
                segment = where & 0xF0000U;
                put_base(text, segment_type, segment >> 4U);
            } else {
                // Readers that add the two bases would otherwise add the old segment too.
                if (segment != 0) {
                    put_base(text, segment_type, 0);
                    segment = 0;
                }
                linear = where & 0xFFFF0000U;
                put_base(text, linear_type, linear >> 16U);
            }
        }
        const std::uint64_t offset = where - segment - linear;
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>({chunk, size - done, 0x10000 - offset}));
        put_record(text, data_type, static_cast<std::uint32_t>(offset), image + done, count);
        done += count;
    }
    if (entry != 0 && entry <= 0xFFFFF) {
        const std::array<unsigned char, 4> cs_ip{static_cast<unsigned char>((entry >> 12U) & 0xF0U),
                                                 0,
                                                 static_cast<unsigned char>((entry >> 8U) & 0xFFU),
                                                 static_cast<unsigned char>(entry & 0xFFU)};
        put_record(text, segment_start, 0, cs_ip.data(), cs_ip.size());
    } else if (entry != 0) {
        const std::array<unsigned char, 4> address{
            static_cast<unsigned char>((entry >> 24U) & 0xFFU),
            static_cast<unsigned char>((entry >> 16U) & 0xFFU),
            static_cast<unsigned char>((entry >> 8U) & 0xFFU),
            static_cast<unsigned char>(entry & 0xFFU)};
        put_record(text, linear_start, 0, address.data(), address.size());
    }
    put_record(text, end_type, 0, nullptr, 0);
    return text;
}

}  // namespace fwsplice
