#pragma once

#include "file_handle.hpp"

namespace fwsplice {

/// Why an input did or did not open.
enum class input_open {
    opened,
    not_opened,  ///< missing, or no permission
    not_regular  ///< a directory, a FIFO or a device: nothing to measure, and it may block
};

/// Opens a regular file for binary reading. The type is checked on the file actually opened,
/// and a FIFO is opened without waiting for a writer, so that nothing swapped in for the
/// path can make the run hang.
file_handle open_regular_file(const char* path, input_open& result) noexcept;

}  // namespace fwsplice
