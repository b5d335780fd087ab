// Windows: the temporary file beside the output, and its rename over it.
#include "output_steps.hpp"

#include "handle_windows.hpp"
#include "signals.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

namespace fwsplice {
namespace {

/// Makes "<name>.fwsplice-XXXXXX" from the output's name, the name's last part cut short
/// where the whole would pass the 255 characters that a name may have. False where the
/// directory part alone leaves no room.
bool name_temporary_file(const std::string& target, unsigned long six_digits,
                         std::array<char, 4096>& temporary_name) noexcept
{
    static constexpr std::string_view suffix = ".fwsplice-";
    constexpr std::size_t name_max = 255;
    const std::size_t separator = target.find_last_of("\\/:");
    const std::size_t start = separator == std::string::npos ? 0 : separator + 1;
    const std::size_t stem = std::min(target.size() - start, name_max - suffix.size() - 6);
    if (start + stem + suffix.size() + 7 > temporary_name.size()) {
        return false;
    }
    char* end = std::copy_n(target.begin(), start + stem, temporary_name.begin());
    end = std::copy(suffix.begin(), suffix.end(), end);
    std::snprintf(end, 7, "%06lx", six_digits & 0xFFFFFFUL);
    return true;
}

using full_path = std::array<char, 4096>;

/// The whole path of a name, which must fit.
bool make_full_path(const char* name, full_path& path) noexcept
{
    const DWORD length =
        GetFullPathNameA(name, static_cast<DWORD>(path.size()), path.data(), nullptr);
    return length > 0 && length < path.size();
}

}  // namespace

// The new file takes the access rules that its directory passes on to new files; a
// replacement takes the old file's when it is renamed over it.
failure temporary_file::create(const output_target& target)
{
    const unsigned long seed = GetCurrentProcessId() * 2654435761UL + GetTickCount();
    for (unsigned long attempt = 0; attempt < 100; ++attempt) {
        if (!name_temporary_file(target.name, seed + attempt * 7919UL, name_)) {
            return system_error(ERROR_FILENAME_EXCED_RANGE);
        }
        // Shared for deletion, so that the console handler can remove it while it is open.
        handle_ = CreateFileA(name_.data(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ != INVALID_HANDLE_VALUE) {
            remove_on_signal(-1, name_.data());
            return {};
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            return last_failure();
        }
    }
    return system_error(ERROR_FILE_EXISTS);
}

failure temporary_file::write(const unsigned char* bytes, std::size_t size) const
{
    return write_all(handle_, bytes, size) ? failure{} : last_failure();
}

// The bytes go through the buffer: cloning blocks needs ReFS, which nothing here can check.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static): as on every platform
failure temporary_file::copy(std::FILE* /*source*/, std::size_t /*count*/,
                             std::size_t& copied) const
{
    copied = 0;
    return refusal(failure_cause::place_refuses, "no copy in the kernel here");
}

// The access rules come with the rename: ReplaceFile keeps the old file's.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static): as on every platform
failure temporary_file::take_access(const output_target& /*target*/) const
{
    return {};
}

failure temporary_file::close(const output_target& /*target*/)
{
    return close_handle(handle_) ? failure{} : last_failure();
}

// An existing output is replaced with ReplaceFile, which keeps its security descriptor and
// attributes, so that the new image is open to exactly whom the old one was; a new one is
// moved in without replacing a file that appeared meanwhile. An indexer or a virus scanner may
// hold the target open for a moment, which shows as a sharing violation or as access denied:
// either is tried again for about a second before it counts.
failure temporary_file::rename_over(const output_target& target)
{
    // ReplaceFile wants whole paths.
    full_path replaced{};
    full_path replacement{};
    if (target.exists && (!make_full_path(target.name.c_str(), replaced) ||
                          !make_full_path(name_.data(), replacement))) {
        return last_failure();
    }
    for (int attempt = 0; attempt < 20; ++attempt) {
        const bool moved =
            target.exists ? ReplaceFileA(replaced.data(), replacement.data(), nullptr,
                                         REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                          : MoveFileExA(name_.data(), target.name.c_str(), 0) != 0;
        if (moved) {
            forget_on_signal();
            name_[0] = '\0';
            return {};
        }
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION &&
            error != ERROR_ACCESS_DENIED && error != ERROR_UNABLE_TO_REMOVE_REPLACED) {
            return system_error(static_cast<long>(error));
        }
        Sleep(50);
    }
    const DWORD error = GetLastError();
    return system_error(
        static_cast<long>(error == ERROR_UNABLE_TO_REMOVE_REPLACED ? ERROR_ACCESS_DENIED : error));
}

failure temporary_file::remove() noexcept
{
    close_handle(handle_);
    if (name_[0] == '\0') {
        return {};
    }
    if (DeleteFileA(name_.data()) == 0 && GetLastError() != ERROR_FILE_NOT_FOUND) {
        return last_failure();
    }
    forget_on_signal();
    name_[0] = '\0';
    return {};
}

}  // namespace fwsplice
