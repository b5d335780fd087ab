// POSIX: what the system's errors mean to the writer, step by step. No other file reads an
// errno for the writer's decisions.
#include "failure.hpp"

#include <cerrno>
#include <cstring>

namespace fwsplice {
namespace {

/// The kernel cannot copy between these two files at all: another file system, a kernel or a
/// file system without the copy, or a descriptor it will not take.
bool copy_refused(long code) noexcept
{
    return code == EXDEV || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP ||
           code == ENOTSUP || code == EBADF;
}

/// A mode or an ACL that the file system, or a user namespace, will not set.
bool access_refused(long code) noexcept
{
    return code == EINVAL || code == ENOTSUP || code == EOPNOTSUPP;
}

}  // namespace

failure_cause cause_of(write_step step, const failure& reason) noexcept
{
    if (!reason.failed || reason.own != failure_cause::none) {
        return reason.own;
    }
    const long code = reason.code;
    if ((step == write_step::copy_tail && copy_refused(code)) ||
        (step == write_step::take_access && access_refused(code))) {
        return failure_cause::place_refuses;
    }
    switch (code) {
    case ENOENT:
    case ENOTDIR:
        return failure_cause::missing;
    case EACCES:
    case EPERM:
        return failure_cause::denied;
    case EROFS:
    case EXDEV:
    case EBUSY:
        return failure_cause::place_refuses;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
        return failure_cause::shortage;
    case ETXTBSY:
        return failure_cause::busy;
    default:
        return failure_cause::other;
    }
}

const char* describe(const failure& reason) noexcept
{
    return reason.text != nullptr ? reason.text : std::strerror(static_cast<int>(reason.code));
}

}  // namespace fwsplice
