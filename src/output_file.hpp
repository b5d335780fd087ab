#pragma once

// Each platform's primitives for writing the output: finding what the path leads to, a
// temporary file beside it, and writing in place. whole_file.cpp puts them in order; the
// platform files (output_file_posix.cpp, temporary_file_posix.cpp, output_file_windows.cpp)
// implement them.

#include "input_file.hpp"

#include <array>
#include <climits>
#include <cstddef>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace fwsplice {

/// What kind of refusal a failure is, which decides whether writing in place may follow.
enum class failure_kind {
    none,
    permission,  ///< the place refuses for reasons of permission
    place,       ///< the place cannot be replaced by a rename (another file system, a mount)
    other        ///< a shortage (space, inodes, descriptors, memory), an I/O error, or unknown
};

/// A failed step, and what the system said about it.
struct failure {
    failure_kind kind = failure_kind::none;
    long code = 0;               ///< errno, or GetLastError() on Windows
    const char* text = nullptr;  ///< our own words, where the system said nothing
    explicit operator bool() const noexcept { return kind != failure_kind::none; }
};

/// The failure for a system error code, classified by what it says about the place.
failure system_failure(long code) noexcept;

/// A failure that the system did not report: the tool's own refusal, in its own words.
inline failure refusal(const char* text) noexcept
{
    return {failure_kind::other, 0, text};
}

/// The text for a failure: the system's message, or the tool's own words.
const char* describe(const failure& reason) noexcept;

/// What the output path leads to, found once by find_output() and held, so that later steps
/// act on the same directory and file even if links along the path change.
struct output_target {
    output_target() = default;
    output_target(const output_target&) = delete;
    output_target& operator=(const output_target&) = delete;
    ~output_target();

#if defined(_WIN32)
    std::string name;
#else
    int directory = -1;  ///< the directory that holds the final name
    std::string directory_name;
    std::string name;     ///< the final name within it
    int existing = -1;    ///< the existing regular file, held for reading or by its path
    struct stat old {};   ///< its status when it was found
    bool follow = false;  ///< a link the kernel makes up (/dev/stdout): opened through it
#endif
    bool exists = false;
    /// A regular file, or a name that holds nothing yet, in a place where a rename can
    /// replace it (not an append-only directory).
    bool replaceable = false;
};

/// Resolves path as the kernel would, and refuses what it would refuse.
[[nodiscard]] failure find_output(const char* path, output_target& target);

/// A new file beside the target, removed (also on a terminating signal) unless it has been
/// renamed over the target.
class temporary_file {
public:
    temporary_file() = default;
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    ~temporary_file() { static_cast<void>(remove()); }

    [[nodiscard]] failure create(const output_target& target);
    /// Gives a replacement the target's owner and ACL. A refusal of the place (an ACL that a
    /// user namespace cannot hold) is a permission failure.
    [[nodiscard]] failure take_attributes(const output_target& target) const;
    /// The bytes, then the mode (writing would clear set-ID bits), then a name where it has
    /// none yet. A file system that takes no chmod refuses a replacement's mode as a
    /// permission failure; a new output keeps what a plain create would give it.
    [[nodiscard]] failure write(const output_target& target, const unsigned char* bytes,
                                std::size_t size);
    [[nodiscard]] failure rename_over(const output_target& target);
    /// Closes and removes it, if it is still there; a failure where it stays.
    [[nodiscard]] failure remove() noexcept;

private:
#if defined(_WIN32)
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::array<char, 4096> name_{};
#else
    [[nodiscard]] failure link_in(const output_target& target);
    template <typename Make>
    [[nodiscard]] failure under_new_name(const std::string& output_name, Make make);

    int descriptor_ = -1;
    int directory_ = -1;  ///< the target's, borrowed
    bool unnamed_ = false;
    std::array<char, NAME_MAX + 1> name_{};  ///< empty while it has no name
#endif
};

/// The output itself, opened for writing through its path.
class in_place_file {
public:
    in_place_file() = default;
    in_place_file(const in_place_file&) = delete;
    in_place_file& operator=(const in_place_file&) = delete;
    ~in_place_file();

    [[nodiscard]] failure open(const output_target& target);
    /// True when it is the open file or pipe that standard output writes to: the progress
    /// lines would land in it. A device (/dev/null, a terminal) mixes nothing.
    [[nodiscard]] bool is_standard_output() const noexcept;
    /// True when it is one of the inputs, which writing it would destroy.
    [[nodiscard]] bool is_one_of(const input_identities& inputs) const noexcept;
    /// Replaces its contents with the bytes, and closes it; a signal meanwhile empties it.
    [[nodiscard]] failure write(const unsigned char* bytes, std::size_t size);
    /// After a failed write: removes the partial file, or empties it where it cannot be
    /// removed, so that no torn image survives. A device is left alone.
    void discard(const output_target& target) noexcept;

private:
#if defined(_WIN32)
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    int descriptor_ = -1;
    int spare_ = -1;  ///< a second descriptor, to empty the file once a failed close lost the first
#endif
    bool regular_ = false;
};

}  // namespace fwsplice
