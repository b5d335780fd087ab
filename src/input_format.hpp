#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace fwsplice {

/// What an input holds, as its content tells: the formats firmware is shipped in, which a
/// programmer reads as addresses and records, or raw bytes as they go into flash.
enum class input_format { raw, elf, intel_hex, srecord };

/// Enough of a file to recognise its format: an ELF header, or the longest first record of an
/// Intel HEX or S-record file with its line end.
inline constexpr std::size_t format_head_size = 1 + 2 * (255 + 5) + 2;

/// The format that a file's first bytes (the whole file, where it is shorter) show. A text
/// counts as HEX or S-record only where its first record is whole and its checksum holds, so
/// that a raw image that happens to start with ':' or 'S' stays raw.
input_format recognise_format(const unsigned char* head, std::size_t count) noexcept;

/// Reads the first bytes of an open input and goes back to its start: its format, or raw
/// where it cannot be read. False where it cannot go back.
bool peek_format(std::FILE* file, input_format& format) noexcept;

/// The format as a message names it ("an Intel HEX file").
const char* format_title(input_format format) noexcept;
/// The objcopy command that makes the raw image of a file of this format.
const char* raw_image_command(input_format format) noexcept;

/// A run of bytes that a file loads into flash.
struct loaded_piece {
    std::uint64_t address;
    std::uint64_t size;  ///< above 0
};

/// Where the bytes of a file land in flash, as objcopy -O binary lays them out.
struct loaded_bytes {
    enum class kind {
        loads,    ///< the pieces hold every byte it loads
        unknown,  ///< raw bytes: the file says nothing of addresses
        broken    ///< the file cannot be trusted; reason says why
    } result = kind::unknown;
    std::vector<loaded_piece> pieces;
    const char* reason = nullptr;
    /// The name objcopy reads the file by: one that any objcopy knows, whatever machine an ELF
    /// file is for ("elf32-little"), since a build machine's objcopy may know no other.
    const char* objcopy_format = "binary";

    /// The address at which the raw image starts: the lowest of any piece.
    [[nodiscard]] std::uint64_t lowest() const noexcept;
    /// Whether a byte lies at or after `bound`, and the first address that holds one.
    [[nodiscard]] bool reaches(std::uint64_t bound, std::uint64_t& first) const noexcept;
};

}  // namespace fwsplice
