#pragma once

#include "file_handle.hpp"

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

}  // namespace fwsplice
