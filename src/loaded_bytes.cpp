// Where a file's bytes land, and putting them there: shared by the ELF, HEX and S-record
// readers.
#include "loaded_bytes.hpp"

#include <algorithm>
#include <cstring>

namespace fwsplice {

std::uint64_t loaded_bytes::lowest() const noexcept
{
    std::uint64_t lowest = pieces.empty() ? 0 : pieces.front().address;
    for (const loaded_piece& piece : pieces) {
        lowest = std::min(lowest, piece.address);
    }
    return lowest;
}

std::uint64_t loaded_bytes::extent() const noexcept
{
    std::uint64_t end = 0;
    for (const loaded_piece& piece : pieces) {
        // Readers keep address + size - 1 within 64 bits.
        end = std::max(end, piece.address + (piece.size - 1));
    }
    const std::uint64_t last = end - lowest();
    return pieces.empty() ? 0 : last == UINT64_MAX ? UINT64_MAX : last + 1;
}

bool loaded_bytes::reaches(std::uint64_t bound, std::uint64_t& first) const noexcept
{
    bool found = false;
    for (const loaded_piece& piece : pieces) {
        // Readers keep address + size - 1 within 64 bits.
        if (piece.address + (piece.size - 1) >= bound) {
            const std::uint64_t at = std::max(piece.address, bound);
            first = found ? std::min(first, at) : at;
            found = true;
        }
    }
    return found;
}

bool loaded_bytes::overlaps() const
{
    std::vector<loaded_piece> sorted = pieces;
    std::sort(sorted.begin(), sorted.end(),
              [](const loaded_piece& a, const loaded_piece& b) { return a.address < b.address; });
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i].address - sorted[i - 1].address < sorted[i - 1].size) {
            return true;
        }
    }
    return false;
}

loaded_bytes broken_file(const char* reason, std::uint64_t line) noexcept
{
    loaded_bytes broken;
    broken.result = loaded_bytes::kind::broken;
    broken.problem.reason = reason;
    broken.problem.line = line;
    return broken;
}

image_filler::image_filler(unsigned char* image, std::uint64_t lowest, std::uint64_t size,
                           bool overlaps)
    : image_(image), lowest_(lowest)
{
    std::memset(image, 0, static_cast<std::size_t>(size));
    if (overlaps) {
        written_.resize(static_cast<std::size_t>(size));
    }
}

bool image_filler::put(std::uint64_t address, const unsigned char* bytes, std::size_t count,
                       read_problem& problem)
{
    const auto at = static_cast<std::size_t>(address - lowest_);
    if (written_.empty()) {
        std::memcpy(image_ + at, bytes, count);
        return true;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (written_[at + i] && image_[at + i] != bytes[i]) {
            problem.reason = "its data overlap with different bytes at";
            problem.at_address = true;
            problem.address = address + i;
            return false;
        }
        image_[at + i] = bytes[i];
        written_[at + i] = true;
    }
    return true;
}

}  // namespace fwsplice
