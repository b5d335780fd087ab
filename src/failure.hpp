#pragma once

// Why a step of writing the output failed. The steps report the system's error as it is; the
// classifier, one file per platform, says what it means to the writer for that step, and the
// writer's table alone decides what follows.

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

/// Why a step failed, in terms that mean the same on every platform.
enum class failure_cause {
    none,
    missing,        ///< no such file or directory
    denied,         ///< this user may not
    place_refuses,  ///< the place takes no new file, rename, mode, ACL or copy in the kernel:
                    ///< a read-only or immutable directory, another file system, a mount, a
                    ///< user namespace
    shortage,       ///< no space, inode, quota, descriptor or memory, or a file-size limit
    busy,           ///< another process holds the file
    changed,        ///< the path or the file changed during the run
    refused,        ///< the tool's own refusal: writing would destroy an input or mix output
    other           ///< an I/O error, or anything else
};

/// A failed step: the system's error code as it was, or the tool's own words with their cause.
struct failure {
    bool failed = false;
    long code = 0;                            ///< errno, or GetLastError() on Windows
    failure_cause own = failure_cause::none;  ///< the cause of the tool's own refusal
    const char* text = nullptr;               ///< the tool's own words
    explicit operator bool() const noexcept { return failed; }
};

/// The failure for a system error code, to be classified with its step.
inline failure system_error(long code) noexcept
{
    return {true, code, failure_cause::none, nullptr};
}

/// A failure in the tool's own words.
inline failure refusal(failure_cause cause, const char* text) noexcept
{
    return {true, 0, cause, text};
}

/// The classifier: what a failure of this step means to the writer. The tool's own refusals
/// keep their cause; a system error is read by the platform's rules for the step.
failure_cause cause_of(write_step step, const failure& reason) noexcept;

/// The text for a failure: the system's message, or the tool's own words.
const char* describe(const failure& reason) noexcept;

}  // namespace fwsplice
