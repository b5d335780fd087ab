// Pairs of hex digits, as both text formats write their records.
#include "record_fields.hpp"

namespace fwsplice {
namespace {

/// Each byte's value as a hex digit, or -1: a table, since a HEX file is mostly digits.
constexpr std::array<signed char, 256> digit_values = [] {
    std::array<signed char, 256> values{};
    for (int c = 0; c < 256; ++c) {
        values[static_cast<std::size_t>(c)] =
            static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                     : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                     : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                            : -1);
    }
    return values;
}();

int hex_digit(unsigned char c) noexcept
{
    return digit_values[c];
}

}  // namespace

bool decode_pairs(const unsigned char* text, std::size_t length, record_bytes& bytes,
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

}  // namespace fwsplice
