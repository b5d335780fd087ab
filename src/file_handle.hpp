#pragma once

#include <cstdio>
#include <memory>

namespace fwsplice {

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

/// An open stream, closed on every road. Where a close must be checked (an output), the
/// code releases the stream and closes it itself.
using file_handle = std::unique_ptr<std::FILE, file_closer>;

/// The length of an open stream, found by seeking to its end and back; -1 where seeking
/// cannot tell it (errno says why).
inline long measure(std::FILE* file) noexcept
{
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        return -1;
    }
    return size;
}

}  // namespace fwsplice
