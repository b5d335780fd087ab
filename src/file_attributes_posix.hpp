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

/// For a replaced output, before its bytes: the old file's owner and group, where permitted,
/// and exactly its access ACL (none where it had none). What the place refuses is a
/// permission failure, so that the road writes in place instead, as a shell redirect would.
failure take_old_owner_and_acl(int descriptor, const struct stat& old, int existing);

/// For a replaced output, after its bytes, since writing clears set-ID bits: the old file's
/// mode, with a set-ID bit only where the owner or group it was set for could be copied.
failure take_old_mode(int descriptor, const struct stat& old);

}  // namespace fwsplice
