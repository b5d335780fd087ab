#pragma once

// Writing a file whole or not at all. The writer prints nothing: it tells which step failed and
// why, and the caller words the message.

#include "file_handle.hpp"
#include "input_file.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fwsplice {

/// The steps of writing the output, in the order a run takes them.
enum class write_step {
    none,            ///< nothing failed: the file holds exactly the bytes given
    find,            ///< following the path to the output
    create,          ///< making a temporary file beside it
    fill,            ///< writing the bytes into the temporary file, naming and closing it
    copy_tail,       ///< the kernel's copy of the tail into the temporary file
    read_tail,       ///< reading the tail, which must hold exactly the size it measured
    take_access,     ///< giving it the access of the output it replaces, or of a new file
    rename,          ///< renaming it over the output
    clean_up,        ///< removing it before the output is written in place instead
    open_in_place,   ///< opening the output itself, or refusing to write it
    write_in_place,  ///< writing and closing the output itself
};

/// The step that failed, and what the system said; nothing changed before the rename, and
/// after a failed write in place the output is removed or emptied, never torn.
struct write_result {
    write_step failed = write_step::none;
    const char* reason = nullptr;  ///< the system's message, or the tool's own words
};

/// An input that the output must never be written over: which file it is, its size, and its
/// first bytes as the image holds them, to recognise it where identities cannot be trusted.
struct input_view {
    file_identity identity;
    std::int64_t size = 0;
    const unsigned char* head = nullptr;
    std::size_t head_size = 0;
};
using input_views = std::array<input_view, 2>;

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
