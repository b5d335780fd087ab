#pragma once

#include "file_handle.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fwsplice {

/// Why an input did or did not open.
enum class input_open {
    opened,
    not_opened,  ///< missing, or no permission; errno says which
    not_regular  ///< a directory, a FIFO or a device: nothing to measure, and it may block
};

/// Opens a regular file for binary reading. Anything else is refused without being opened,
/// and the type is checked again on the file actually opened, so that nothing swapped in for
/// the path can make the run hang. Where it is not opened, errno says why.
file_handle open_regular_file(const char* path, input_open& result) noexcept;

/// The length of an open stream, in 64 bits on every platform (a long is 32 bits on 32-bit
/// Linux and on Windows), found by seeking to its end and back; -1 where seeking cannot tell
/// it (errno says why).
std::int64_t measure(std::FILE* file) noexcept;

/// Which file an open stream is, to tell whether the output is one of the inputs: the device
/// and inode, or on Windows the volume and file index. Not known, it matches nothing.
struct file_identity {
    bool known = false;
    std::uint64_t device = 0;
    std::uint64_t index = 0;
};
using input_identities = std::array<file_identity, 2>;

/// An input that the output must never be written over: which file it is, its size, and its
/// first bytes as the image holds them, to recognise it where identities cannot be trusted.
struct input_view {
    file_identity identity;
    std::int64_t size = 0;
    const unsigned char* head = nullptr;
    std::size_t head_size = 0;
};
using input_views = std::array<input_view, 2>;

file_identity identify(std::FILE* file) noexcept;

/// Whether two identities are known and name one file.
inline bool same_file(const file_identity& a, const file_identity& b) noexcept
{
    return a.known && b.known && a.device == b.device && a.index == b.index;
}

/// Which file a path leads to, links followed; not known where none, or where path is null.
file_identity identify_path(const char* path) noexcept;

/// Moves the next count bytes of an input into place with one read request; returns why it
/// failed, or nullptr. With whole, the input must also end there.
const char* read_input(std::FILE* file, unsigned char* place, std::size_t count,
                       bool whole) noexcept;

/// Moves the stream to this offset from its start, in 64 bits on every platform; false where
/// it cannot.
bool seek_input(std::FILE* file, std::int64_t offset) noexcept;

}  // namespace fwsplice
