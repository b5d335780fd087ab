#pragma once

// Intel HEX and Motorola S-record files: text, one record a line. What is shared by both
// formats: the lines, the hex digits, and reading a file's records twice, once to learn where
// its bytes land and once to put them there.

#include "input_format.hpp"
#include "loaded_bytes.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

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

/// The format of the first line of a text that is a whole Intel HEX record or S-record, with
/// a count and a checksum that hold; raw where it is neither. A byte-order mark and blank
/// lines before it are passed over.
input_format record_format(const unsigned char* head, std::size_t count) noexcept;

/// Where the bytes of an Intel HEX or S-record file land: its data records, with runs of
/// adjacent records joined, and its entry point.
loaded_bytes scan_records(std::FILE* file, input_format format) noexcept;

/// Reads the records of a file that scan_records() read, from its start, into its raw image.
read_problem place_records(std::FILE* file, input_format format, image_filler& filler) noexcept;

}  // namespace fwsplice
