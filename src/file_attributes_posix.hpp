#pragma once

// POSIX: the access of a new output, or of a replaced one, given to the temporary file.

#include "output_steps.hpp"

#include <sys/stat.h>

#include <string>

namespace fwsplice {

/// For a new output: the mode a plain create gives, the umask's or, where the directory has a
/// default ACL, the one the kernel applied. Never a failure: where chmod is refused, the file
/// keeps what the file system gave it, as after a plain create.
void take_new_mode(int descriptor, const std::string& directory_name) noexcept;

/// For a replaced output, after its bytes, since writing clears set-ID bits: the old file's
/// owner and group where permitted, exactly its access ACL (none where it had none), and its
/// mode, with a set-ID bit only where the owner or group it was set for could be copied.
failure take_old_access(int descriptor, const struct stat& old, const output_target& target);

}  // namespace fwsplice
