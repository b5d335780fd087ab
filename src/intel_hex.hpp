#pragma once

// Intel HEX: reading its records, and writing an image as one.

#include "record_fields.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace fwsplice {

/// An Intel HEX file's records, read one line at a time: ':', count, 16-bit address, type,
/// data, and a checksum that makes the bytes sum to 0. Data go to the address plus both the
/// linear (04) and the segment (02) base, as objcopy reads them, whichever came last.
class hex_records {
public:
    /// False where the line is not a whole record of a known type.
    bool read(const unsigned char* line, std::size_t length, text_record& record) noexcept;

private:
    record_bytes bytes_{};
    std::uint64_t linear_ = 0;
    std::uint64_t segment_ = 0;
};

/// The image as Intel HEX at `origin`, laid out as objcopy writes one (16 bytes a record, no
/// record across 64 KiB, segment records below 1 MiB, CRLF line ends), with a start address
/// record where `entry` is not 0. The image must end at or below 4 GiB.
std::string hex_text(const unsigned char* image, std::size_t size, std::uint64_t origin,
                     std::uint64_t entry);

}  // namespace fwsplice
