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

}  // namespace fwsplice
