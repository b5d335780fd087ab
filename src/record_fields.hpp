#pragma once

// What Intel HEX and S-record lines share: pairs of hex digits with a count and a checksum, and
// what a record means once its format has read it.

#include <array>
#include <cstddef>
#include <cstdint>

namespace fwsplice {

/// One record's bytes, decoded from its hex digits: at most a count byte, 255 more and the
/// checksum; the HEX header adds four.
using record_bytes = std::array<std::uint8_t, 262>;

/// Decodes pairs of hex digits; false where the text is not made of them or is too long.
bool decode_pairs(const unsigned char* text, std::size_t length, record_bytes& bytes,
                  std::size_t& count) noexcept;

/// The sum of the first count bytes, modulo 256.
unsigned byte_sum(const record_bytes& bytes, std::size_t count) noexcept;

/// What one record means, as its format reads it.
struct text_record {
    enum class kind {
        data,   ///< size bytes at address
        start,  ///< the entry point, at address
        end,    ///< the end of the records
        other   ///< a header, a count, or a base the format keeps for the lines that follow
    } what = kind::other;
    std::uint64_t address = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

}  // namespace fwsplice
