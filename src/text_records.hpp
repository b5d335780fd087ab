#pragma once

#include "input_format.hpp"

#include <cstddef>
#include <cstdio>

namespace fwsplice {

/// The format of one line that is a whole Intel HEX record or S-record, with a count and a
/// checksum that hold; raw where it is neither.
input_format record_format(const unsigned char* line, std::size_t length) noexcept;

/// The bytes an Intel HEX or S-record file loads: its data records, in file order, with
/// runs of adjacent records joined.
loaded_bytes read_records(std::FILE* file, input_format format) noexcept;

}  // namespace fwsplice
