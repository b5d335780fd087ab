#include "bootloader_tail.hpp"

#include <fwsplice/combined_image.hpp>

#include <algorithm>
#include <array>

namespace fwsplice {

bootloader_tail scan_bootloader_tail(std::FILE* file, std::int64_t from) noexcept
{
    std::array<unsigned char, 1 << 16> chunk{};
    std::int64_t offset = from;
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        const unsigned char* const begin = chunk.data();
        const unsigned char* const end = begin + got;
        const unsigned char* const data =
            std::find_if(begin, end, [](unsigned char byte) { return byte != gap_value; });
        if (data != end) {
            return {offset + (data - begin), false};
        }
        offset += static_cast<std::int64_t>(got);
        if (got < chunk.size()) {
            return {-1, std::ferror(file) != 0};
        }
    }
}

}  // namespace fwsplice
