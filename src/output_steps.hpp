#pragma once

// The steps of writing the output, one implementation for each platform: what the path leads
// to, a temporary file beside it, and the output itself written in place. A step reports the
// system's error as it is; what it means is the classifier's to say, and what follows from it
// the writer's decision.

#include "failure.hpp"
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
    struct stat directory_status {};
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

/// Which file the target holds, where it holds an existing one.
file_identity identify_output(const output_target& target);

/// Removes the regular file that the target holds, if it is still at its name.
[[nodiscard]] failure remove_output(const output_target& target);

/// A new file beside the target, removed (also on a terminating signal) unless it has been
/// renamed over the target.
class temporary_file {
public:
    temporary_file() = default;
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    ~temporary_file() { static_cast<void>(remove()); }

    [[nodiscard]] failure create(const output_target& target);
    [[nodiscard]] failure write(const unsigned char* bytes, std::size_t size) const;
    /// Copies the first count bytes of the file source to the end of what is written, in the
    /// kernel; copied says how many went, also where it fails. Where the kernel cannot copy
    /// between the two, or stops short, the failure is the place's refusal.
    [[nodiscard]] failure copy(std::FILE* source, std::size_t count, std::size_t& copied) const;
    /// After the bytes, since writing clears set-ID bits: a replacement takes the old file's
    /// owner, ACL and mode as they are now, so that a change made during the run stands; a
    /// new output gets what a plain create would give it.
    [[nodiscard]] failure take_access(const output_target& target) const;
    /// Gives it a name where it has none yet, and closes it.
    [[nodiscard]] failure close(const output_target& target);
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

    /// Opens the file that was found, and refuses another put at its name meanwhile.
    [[nodiscard]] failure open(const output_target& target);
    /// True when it is the open file or pipe that standard output writes to: the progress
    /// lines would land in it. A device (/dev/null, a terminal) mixes nothing.
    [[nodiscard]] bool is_standard_output() const noexcept;
    /// True when it is one of the inputs, which writing it would destroy: the same file, or,
    /// since a view such as a FUSE mount hides identities, a regular file of an input's size
    /// whose bytes are the input's, or that cannot be read to tell.
    [[nodiscard]] bool is_one_of(const output_target& target, const input_views& inputs) const;
    /// Replaces its contents with the bytes, and closes it; a signal meanwhile empties it.
    [[nodiscard]] failure write(const unsigned char* bytes, std::size_t size);
    /// After a failed write: removes the partial file, or empties it where it cannot be
    /// removed, so that no torn image survives; only then does a signal stop emptying it. A
    /// device is left alone.
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
