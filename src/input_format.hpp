#pragma once

#include "loaded_bytes.hpp"

#include <cstddef>
#include <cstdio>

namespace fwsplice {

/// Enough of a file to recognise its format: an ELF header, or a byte-order mark and some
/// blank lines, then the longest first record of an Intel HEX or S-record file.
inline constexpr std::size_t format_head_size = 4096;

/// The format that a file's first bytes (the whole file, where it is shorter) show. A text
/// counts as HEX or S-record only where its first record is whole and its checksum holds, so
/// that a raw image that happens to start with ':' or 'S' stays raw.
input_format recognise_format(const unsigned char* head, std::size_t count) noexcept;

/// Reads the first bytes of an open input and goes back to its start: its format, or raw
/// where it cannot be read. False where it cannot go back.
bool peek_format(std::FILE* file, input_format& format) noexcept;

/// The format as a message names it ("an Intel HEX file").
const char* format_title(input_format format) noexcept;

}  // namespace fwsplice
