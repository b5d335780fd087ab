#pragma once

// Writing a file whole or not at all. The writer prints nothing: it tells which step failed and
// why, and the caller words the message.

#include "failure.hpp"
#include "file_handle.hpp"
#include "input_file.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fwsplice {

/// The step that failed, and what the system said; nothing changed before the rename, and
/// after a failed write in place the output is removed or emptied, never torn.
struct write_result {
    write_step failed = write_step::none;
    const char* reason = nullptr;  ///< the system's message, or the tool's own words
};

/// The bytes to write: the first `ready` are in place in `bytes`, and the `tail_size` that
/// follow come from the file `tail`, from its start. The buffer has room for the whole. The
/// writer closes the tail once the buffer holds it.
struct image_source {
    unsigned char* bytes;
    std::size_t ready;
    file_handle tail;
    std::size_t tail_size;
};

/// Replaces the file at path with exactly the image, or leaves it as it was. A regular file,
/// or a name that holds nothing yet, is replaced by renaming a complete temporary file over
/// it; only where the place itself forbids that is it written in place. The tail is copied by
/// the kernel where it can, and read into the buffer otherwise.
write_result write_whole_file(const char* path, image_source& image,
                              const input_views& inputs) noexcept;

/// Files that a removal must leave, however the path reaches them.
using kept_files = std::array<file_identity, 4>;

/// Removes the file that write_whole_file would replace at path, following links by the same
/// rules; a device, a FIFO or a kept file is left alone. The reason where it is still there,
/// else nullptr.
const char* remove_whole_file(const char* path, const kept_files& kept) noexcept;

}  // namespace fwsplice
