#pragma once

#include "input_file.hpp"

#include <cstddef>

namespace fwsplice {

/// How an attempt to write a whole file ended.
enum class write_outcome {
    written,     ///< the file holds exactly the bytes given
    not_opened,  ///< the output, or a temporary file for it, could not be opened; nothing changed
    not_written  ///< something failed after opening; the output is as it was, or, where it
                 ///< could only be written in place, removed or emptied
};

/// The outcome, and what the system said where it is not written.
struct write_result {
    write_outcome outcome;
    const char* reason;  ///< the system's message, or nullptr when written
};

/// Replaces the file at path with exactly these bytes, or leaves it as it was. A regular
/// file, or a name that holds nothing yet, is replaced by renaming a complete temporary file
/// over it. Only where no rename can serve (a device, a FIFO, a directory that refuses new
/// files, a rename refused by the place) is it written in place, and then a failed write
/// leaves it removed or emptied, never torn, and one of the inputs is never written. A
/// shortage of space, inodes, descriptors or memory never leads to writing in place.
write_result write_whole_file(const char* path, const unsigned char* bytes, std::size_t size,
                              const input_identities& inputs) noexcept;

}  // namespace fwsplice
