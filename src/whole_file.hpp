#pragma once

#include <cstddef>

namespace fwsplice {

/// How an attempt to write a whole file ended.
enum class write_outcome {
    written,     ///< the file holds exactly the bytes given
    not_opened,  ///< neither a temporary file nor the file itself could be opened for writing
    not_written  ///< something failed after opening; the file holds what it held before,
                 ///< unless it could only be written in place (see write_whole_file)
};

/// Turns the signals that end a process on a failed write (SIGPIPE for a pipe whose reader
/// has gone, SIGXFSZ past the file-size limit) into plain write errors, which are checked.
void treat_write_signals_as_errors() noexcept;

/// Replaces the file at path with exactly these bytes, or leaves it as it was. A regular
/// file, or a path that names nothing yet, is replaced by renaming a complete temporary
/// file, "<name>.fwsplice-XXXXXX" beside the file that path finally leads to, over it (on
/// Linux it has no name until complete); the temporary file is removed on failure and on
/// SIGINT, SIGTERM and SIGHUP (Ctrl-C and Ctrl-Break on Windows). Devices, pipes, and files
/// where no temporary file can be made or renamed are written in place; a partial regular
/// file left by that is removed.
write_outcome write_whole_file(const char* path, const unsigned char* bytes,
                               std::size_t size) noexcept;

}  // namespace fwsplice
