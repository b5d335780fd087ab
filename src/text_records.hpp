#pragma once

// Intel HEX and Motorola S-record files: text, one record a line, read twice, once to learn
// where their bytes land and once to put them there.

#include "loaded_bytes.hpp"

#include <cstddef>
#include <cstdio>

namespace fwsplice {

/// The format of the first line of a text (the first count bytes of a file, or with `whole`
/// all of it) that is a whole Intel HEX record or S-record, with a count and a checksum that
/// hold; raw where it is neither. A byte-order mark and blank lines before it are passed over.
input_format record_format(const unsigned char* head, std::size_t count, bool whole) noexcept;

/// Where the bytes of an Intel HEX or S-record file land: its data records, with runs of
/// adjacent records joined, and its entry point.
loaded_bytes scan_records(std::FILE* file, input_format format) noexcept;

/// Reads the records of a file that scan_records() read, from its start, into its raw image.
read_problem place_records(std::FILE* file, input_format format, image_filler& filler) noexcept;

}  // namespace fwsplice
