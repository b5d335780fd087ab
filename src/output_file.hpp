#pragma once

// Each platform's primitives for writing the output: finding what the path leads to, a
// temporary file beside it, and writing in place. whole_file.cpp puts them in order; the
// platform files (output_file_posix.cpp, temporary_file_posix.cpp, output_file_windows.cpp)
// implement them.

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
failure refusal(const char* text) noexcept;

/// The text for a failure: the system's message, or the tool's own words.
const char* describe(const failure& reason) noexcept;

/// What the output path leads to, found once and held, so that later steps act on the same
/// directory and file even if links along the path change.
class output_target {
public:
    output_target() = default;
    output_target(const output_target&) = delete;
    output_target& operator=(const output_target&) = delete;
    ~output_target();

    /// Resolves path as the kernel would, and refuses what it would refuse.
    [[nodiscard]] failure find(const char* path);
    /// True for a regular file or a name that holds nothing yet: a rename can replace it.
    [[nodiscard]] bool replaceable() const noexcept { return replaceable_; }

private:
    friend class temporary_file;
    friend class in_place_file;
#if !defined(_WIN32)
    [[nodiscard]] failure look_at(std::string& name, bool& followed);
#endif
#if defined(_WIN32)
    std::string name_;
#else
    int directory_ = -1;  ///< the directory that holds the final name
    std::string directory_name_;
    std::string name_;     ///< the final name within it
    int existing_ = -1;    ///< the existing regular file, open for writing
    struct stat old_ {};   ///< its status when it was found
    bool follow_ = false;  ///< a link the kernel makes up (/dev/stdout): opened through it
#endif
    bool exists_ = false;
    bool replaceable_ = false;
};

/// A new file beside the target, removed (also on a terminating signal) unless it has been
/// renamed over the target.
class temporary_file {
public:
    temporary_file() = default;
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    ~temporary_file() { remove(); }

    [[nodiscard]] failure create(const output_target& target);
    /// Gives it the target's permissions and owner (or a new file's), the bytes, and a name.
    [[nodiscard]] failure fill(const output_target& target, const unsigned char* bytes,
                               std::size_t size);
    [[nodiscard]] failure rename_over(const output_target& target) const;
    /// Closes and removes it, if it is still there.
    void remove() noexcept;

private:
#if defined(_WIN32)
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    [[nodiscard]] failure link_in(const output_target& target) const;

    int descriptor_ = -1;
    int directory_ = -1;  ///< the target's, borrowed
    bool unnamed_ = false;
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
    /// True when it is the open file that standard output writes to.
    [[nodiscard]] bool is_standard_output() const noexcept;
    /// Replaces its contents with the bytes, and closes it.
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
