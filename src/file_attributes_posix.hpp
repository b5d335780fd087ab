#pragma once

// POSIX: the access of a new output, or of a replaced one, given to the temporary file.

#include "output_file.hpp"

#include <sys/stat.h>

#include <string>

namespace fwsplice {

/// For a new output: the mode a plain create gives, the umask's or, where the directory has a
/// default ACL, the one the kernel applied. Never a failure: where chmod is refused, the file
/// keeps what the file system gave it, as after a plain create.
void take_new_mode(int descriptor, const std::string& directory_name) noexcept;

/// For a replaced output: exactly the old file's owner and group (where permitted), access
/// ACL and mode. What the place refuses is a permission failure, so that the road writes in
/// place instead, as a shell redirect would.
failure take_old_attributes(int descriptor, const struct stat& old, int existing);

}  // namespace fwsplice
