// Intel HEX and Motorola S-record files: their records, checked whole, and the bytes they load.
#include "text_records.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <exception>

namespace fwsplice {
namespace {

/// One record's bytes, decoded from its hex digits: at most a count byte, 255 more and the
/// checksum; the HEX header adds four.
using record_bytes = std::array<std::uint8_t, 262>;

int hex_digit(unsigned char c) noexcept
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

/// Decodes pairs of hex digits; false where the text is not made of them or is too long.
bool decode(const unsigned char* text, std::size_t length, record_bytes& bytes,
            std::size_t& count) noexcept
{
    if (length % 2 != 0 || length / 2 > bytes.size()) {
        return false;
    }
    count = length / 2;
    for (std::size_t i = 0; i < count; ++i) {
        const int high = hex_digit(text[2 * i]);
        const int low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

unsigned byte_sum(const record_bytes& bytes, std::size_t count) noexcept
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += bytes[i];
    }
    return sum & 0xFFU;
}

/// A record, checked whole: its type, where its data start and how many there are, and the
/// address they go to (before a HEX file's base).
struct record {
    int type = 0;
    std::uint64_t address = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

/// An Intel HEX record: ':', count, 16-bit address, type, data, and a checksum that makes the
/// bytes sum to 0.
bool parse_hex(const unsigned char* line, std::size_t length, record_bytes& bytes,
               record& parsed) noexcept
{
    std::size_t count = 0;
    if (length < 1 || line[0] != ':' || !decode(line + 1, length - 1, bytes, count) || count < 5 ||
        bytes[0] + 5U != count || byte_sum(bytes, count) != 0 || bytes[3] > 5) {
        return false;
    }
    parsed = {bytes[3], (std::uint64_t{bytes[1]} << 8U) | bytes[2], bytes.data() + 4, bytes[0]};
    return true;
}

/// A Motorola S-record: 'S', its type, count, an address of 2, 3 or 4 bytes by type, data,
/// and a checksum that makes the bytes from the count on sum to 0xFF.
bool parse_srecord(const unsigned char* line, std::size_t length, record_bytes& bytes,
                   record& parsed) noexcept
{
    constexpr std::array<std::size_t, 10> address_width{2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    std::size_t count = 0;
    if (length < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9' || line[1] == '4' ||
        !decode(line + 2, length - 2, bytes, count) || count < 2 || bytes[0] + 1U != count ||
        byte_sum(bytes, count) != 0xFF) {
        return false;
    }
    const int type = line[1] - '0';
    const std::size_t width = address_width[static_cast<std::size_t>(type)];
    if (count < 1 + width + 1) {
        return false;
    }
    std::uint64_t address = 0;
    for (std::size_t i = 1; i <= width; ++i) {
        address = (address << 8U) | bytes[i];
    }
    parsed = {type, address, bytes.data() + 1 + width, count - 2 - width};
    return true;
}

bool parse(input_format format, const unsigned char* line, std::size_t length, record_bytes& bytes,
           record& parsed) noexcept
{
    return format == input_format::intel_hex ? parse_hex(line, length, bytes, parsed)
                                             : parse_srecord(line, length, bytes, parsed);
}

/// Reads one line, without its end, into line; false at the end of the file or where a line
/// is longer than any record (broken then says so).
bool read_line(std::FILE* file, std::array<unsigned char, format_head_size>& line,
               std::size_t& length, bool& broken) noexcept
{
    length = 0;
    int c = std::fgetc(file);
    if (c == EOF) {
        broken = std::ferror(file) != 0;
        return false;
    }
    while (c != EOF && c != '\n') {
        if (c != '\r') {
            if (length == line.size()) {
                broken = true;
                return false;
            }
            line[length++] = static_cast<unsigned char>(c);
        }
        c = std::fgetc(file);
    }
    broken = std::ferror(file) != 0;
    return !broken;
}

/// Adds a record's data to the pieces, joined to the last one where they meet.
void add_piece(std::vector<loaded_piece>& pieces, std::uint64_t address, std::uint64_t size)
{
    if (!pieces.empty() && pieces.back().address + pieces.back().size == address) {
        pieces.back().size += size;
    } else {
        pieces.push_back({address, size});
    }
}

/// What one record does: adds its data to the pieces, moves a HEX file's base, or ends the
/// file. False where it is broken.
bool apply_record(input_format format, const record& parsed, std::uint64_t& base, bool& ended,
                  std::vector<loaded_piece>& pieces)
{
    if (format == input_format::srecord) {
        if (parsed.type >= 1 && parsed.type <= 3 && parsed.size > 0) {
            add_piece(pieces, parsed.address, parsed.size);
        }
        return true;
    }
    ended = parsed.type == 1;
    if (parsed.type == 2 || parsed.type == 4) {
        if (parsed.size != 2) {
            return false;
        }
        const std::uint64_t value = (std::uint64_t{parsed.data[0]} << 8U) | parsed.data[1];
        base = value << (parsed.type == 2 ? 4U : 16U);
    }
    if (parsed.type == 0 && parsed.size > 0) {
        add_piece(pieces, base + parsed.address, parsed.size);
    }
    return true;
}

/// Reads every record of the file into the pieces; false where one is broken or the file
/// cannot be read.
bool read_all_records(std::FILE* file, input_format format, std::vector<loaded_piece>& pieces)
{
    std::array<unsigned char, format_head_size> line{};
    std::size_t length = 0;
    bool broken = false;
    bool ended = false;
    record_bytes bytes{};
    record parsed;
    std::uint64_t base = 0;
    while (!ended && read_line(file, line, length, broken)) {
        if (length > 0 && (!parse(format, line.data(), length, bytes, parsed) ||
                           !apply_record(format, parsed, base, ended, pieces))) {
            return false;
        }
    }
    return !broken;
}

}  // namespace

input_format record_format(const unsigned char* line, std::size_t length) noexcept
{
    record_bytes bytes{};
    record first;
    if (parse_hex(line, length, bytes, first)) {
        return input_format::intel_hex;
    }
    if (parse_srecord(line, length, bytes, first)) {
        return input_format::srecord;
    }
    return input_format::raw;
}

loaded_bytes read_records(std::FILE* file, input_format format) noexcept
{
    loaded_bytes loaded;
    loaded.result = loaded_bytes::kind::broken;
    loaded.reason = format == input_format::intel_hex ? "its Intel HEX records are broken"
                                                      : "its S-records are broken";
    try {
        if (!read_all_records(file, format, loaded.pieces)) {
            return loaded;
        }
    } catch (const std::exception&) {  // no memory for the pieces
        loaded.reason = std::strerror(ENOMEM);
        return loaded;
    }
    if (loaded.pieces.empty()) {
        loaded.reason = "it holds no data";
        return loaded;
    }
    loaded.result = loaded_bytes::kind::loads;
    loaded.reason = nullptr;
    loaded.objcopy_format = format == input_format::intel_hex ? "ihex" : "srec";
    return loaded;
}

}  // namespace fwsplice
