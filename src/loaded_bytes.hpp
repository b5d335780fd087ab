#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fwsplice {

/// What an input holds, as its content tells: the formats firmware is shipped in, which a
/// programmer reads as addresses and records, or raw bytes as they go into flash.
enum class input_format { raw, elf, intel_hex, srecord };

/// Why a file cannot be read as its format: the reason, the line of a text file that shows it
/// (0: none), and the address it concerns, where one does.
struct read_problem {
    const char* reason = nullptr;
    std::uint64_t line = 0;
    bool at_address = false;
    std::uint64_t address = 0;
};

/// A run of bytes that a file loads into flash: its address, its size (above 0), and for an
/// ELF file where its bytes are in the file.
struct loaded_piece {
    std::uint64_t address;
    std::uint64_t size;
    std::uint64_t offset = 0;
};

/// Where the bytes of an ELF, Intel HEX or S-record file land in flash, as `objcopy -O binary`
/// lays them out: its raw image runs from the lowest address of any piece to the end of the
/// highest, gaps 0x00.
struct loaded_bytes {
    enum class kind {
        loads,    ///< the pieces hold every byte it loads
        unknown,  ///< raw bytes: the file says nothing of addresses
        broken    ///< the file cannot be trusted; problem says why
    } result = kind::unknown;
    std::vector<loaded_piece> pieces;
    read_problem problem;
    /// The entry point the file gives (ELF e_entry, a HEX 03 or 05 record, an S7, S8 or S9
    /// record); 0 where it gives none, as objcopy writes none for 0.
    std::uint64_t entry = 0;

    /// The address at which the raw image starts: the lowest of any piece.
    [[nodiscard]] std::uint64_t lowest() const noexcept;
    /// The size of the raw image: from the lowest address to the end of the highest piece.
    [[nodiscard]] std::uint64_t extent() const noexcept;
    /// Whether a byte lies at or after `bound`, and the first address that holds one.
    [[nodiscard]] bool reaches(std::uint64_t bound, std::uint64_t& first) const noexcept;
    /// Whether two pieces share an address: only then must placing them compare bytes.
    [[nodiscard]] bool overlaps() const;
};

/// A broken file's reading, with why.
loaded_bytes broken_file(const char* reason, std::uint64_t line = 0) noexcept;

/// Puts a file's pieces into its raw image, whose first byte is the address `lowest`: the
/// bytes between them are 0x00. Where pieces overlap, it remembers what is written, so that
/// two that disagree on a byte are refused rather than one silently winning.
class image_filler {
public:
    image_filler(unsigned char* image, std::uint64_t lowest, std::uint64_t size, bool overlaps);
    /// Puts the bytes at their address; false, with the first address that an earlier piece
    /// gave another byte in the problem, where they disagree.
    bool put(std::uint64_t address, const unsigned char* bytes, std::size_t count,
             read_problem& problem);

private:
    unsigned char* image_;
    std::uint64_t lowest_;
    std::vector<bool> written_;  ///< empty where no pieces overlap
};

}  // namespace fwsplice
