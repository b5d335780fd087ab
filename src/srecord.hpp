#pragma once

// Motorola S-records: reading them.

#include "record_fields.hpp"

#include <cstddef>

namespace fwsplice {

/// An S-record file's records, read one line at a time: 'S', its type, count, an address of
/// 2, 3 or 4 bytes by type, data, and a checksum that makes the bytes from the count on sum to
/// 0xFF. S1 to S3 hold data, S7 to S9 end the records with the entry point.
class s_records {
public:
    /// False where the line is not a whole record of a known type.
    bool read(const unsigned char* line, std::size_t length, text_record& record) noexcept;

private:
    record_bytes bytes_{};
};

}  // namespace fwsplice
