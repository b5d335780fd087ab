// Pairs of hex digits, as both text formats write their records.
#include "record_fields.hpp"

namespace fwsplice {
namespace {

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
