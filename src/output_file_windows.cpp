// Windows: what the output path leads to, the temporary file beside it, and writing in place.
#include "output_file.hpp"

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

bool write_all(HANDLE handle, const unsigned char* bytes, std::size_t size) noexcept
{
    while (size > 0) {
        const DWORD chunk = size < (DWORD{1} << 30) ? static_cast<DWORD>(size) : DWORD{1} << 30;
        DWORD written = 0;
        if (WriteFile(handle, bytes, chunk, &written, nullptr) == 0 || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

bool close_handle(HANDLE& handle) noexcept
{
    const HANDLE closing = handle;
    handle = INVALID_HANDLE_VALUE;
    return closing == INVALID_HANDLE_VALUE || CloseHandle(closing) != 0;
}

using full_path = std::array<char, 4096>;

/// The whole path of a name, which must fit.
bool make_full_path(const char* name, full_path& path) noexcept
{
    const DWORD length =
        GetFullPathNameA(name, static_cast<DWORD>(path.size()), path.data(), nullptr);
    return length > 0 && length < path.size();
}

failure last_failure() noexcept
{
    return system_failure(static_cast<long>(GetLastError()));
}

}  // namespace

failure system_failure(long code) noexcept
{
    switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        return {failure_kind::permission, code, nullptr};
    case ERROR_NOT_SAME_DEVICE:
        return {failure_kind::place, code, nullptr};
    default:
        return {failure_kind::other, code, nullptr};
    }
}

const char* describe(const failure& reason) noexcept
{
    static std::array<char, 512> message{};
    if (reason.text != nullptr) {
        return reason.text;
    }
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(reason.code), 0, message.data(),
                                  static_cast<DWORD>(message.size()), nullptr);
    if (length == 0) {
        std::snprintf(message.data(), message.size(), "Windows error %ld", reason.code);
        return message.data();
    }
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n' ||
                          message[length - 1] == '.')) {
        message[--length] = '\0';
    }
    return message.data();
}

output_target::~output_target() = default;

// A disk file that is not read-only, or a name that holds nothing yet, can be replaced. A
// read-only file is refused, as opening it for writing would be. Directories, reparse points
// and devices (NUL, CON, which answer attribute queries too) are written in place.
failure find_output(const char* path, output_target& target)
{
    target.name = path;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        target.replaceable = error == ERROR_FILE_NOT_FOUND;
        return target.replaceable ? failure{} : system_failure(static_cast<long>(error));
    }
    target.exists = true;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return system_failure(ERROR_ACCESS_DENIED);
    }
    if ((attributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return {};
    }
    const HANDLE existing =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        target.replaceable = GetFileType(existing) == FILE_TYPE_DISK;
        CloseHandle(existing);
    }
    return {};
}

// The new file takes the access rules that its directory passes on to new files; a
// replacement takes the old file's when it is renamed over it.
failure temporary_file::create(const output_target& target)
{
    const unsigned long seed = GetCurrentProcessId() * 2654435761UL + GetTickCount();
    for (unsigned long attempt = 0; attempt < 100; ++attempt) {
        if (!name_temporary_file(target.name, seed + attempt * 7919UL, name_)) {
            return system_failure(ERROR_FILENAME_EXCED_RANGE);
        }
        // Shared for deletion, so that the console handler can remove it while it is open.
        handle_ = CreateFileA(name_.data(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ != INVALID_HANDLE_VALUE) {
            remove_on_signal(name_.data());
            return {};
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            return last_failure();
        }
    }
    return system_failure(ERROR_FILE_EXISTS);
}

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): as on every platform
failure temporary_file::take_attributes(const output_target& /*target*/) const
{
    return {};
}

failure temporary_file::write(const output_target& /*target*/, const unsigned char* bytes,
                              std::size_t size)
{
    if (!write_all(handle_, bytes, size) || !close_handle(handle_)) {
        return last_failure();
    }
    return {};
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
            return system_failure(static_cast<long>(error));
        }
        Sleep(50);
    }
    const DWORD error = GetLastError();
    return system_failure(
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

in_place_file::~in_place_file()
{
    close_handle(handle_);
}

failure in_place_file::open(const output_target& target)
{
    handle_ = CreateFileA(target.name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        return last_failure();
    }
    regular_ = GetFileType(handle_) == FILE_TYPE_DISK;
    return {};
}

// Disk files are compared by volume and file index; a console or a pipe cannot be told
// apart this way and is taken as another file.
bool in_place_file::is_standard_output() const noexcept
{
    const HANDLE standard_output = GetStdHandle(STD_OUTPUT_HANDLE);
    BY_HANDLE_FILE_INFORMATION output{};
    BY_HANDLE_FILE_INFORMATION standard{};
    return regular_ && standard_output != nullptr && standard_output != INVALID_HANDLE_VALUE &&
           GetFileType(standard_output) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(handle_, &output) != 0 &&
           GetFileInformationByHandle(standard_output, &standard) != 0 &&
           output.dwVolumeSerialNumber == standard.dwVolumeSerialNumber &&
           output.nFileIndexHigh == standard.nFileIndexHigh &&
           output.nFileIndexLow == standard.nFileIndexLow;
}

bool in_place_file::is_one_of(const input_identities& inputs) const noexcept
{
    BY_HANDLE_FILE_INFORMATION output{};
    if (!regular_ || GetFileInformationByHandle(handle_, &output) == 0) {
        return false;
    }
    const std::uint64_t index =
        (std::uint64_t{output.nFileIndexHigh} << 32U) | output.nFileIndexLow;
    return std::any_of(inputs.begin(), inputs.end(), [&output, index](const file_identity& input) {
        return input.known && input.device == output.dwVolumeSerialNumber && input.index == index;
    });
}

failure in_place_file::write(const unsigned char* bytes, std::size_t size)
{
    if ((regular_ && SetEndOfFile(handle_) == 0) || !write_all(handle_, bytes, size) ||
        !close_handle(handle_)) {
        return last_failure();
    }
    return {};
}

void in_place_file::discard(const output_target& target) noexcept
{
    if (!regular_) {
        return;
    }
    close_handle(handle_);
    if (DeleteFileA(target.name.c_str()) != 0) {
        return;
    }
    const HANDLE emptied = CreateFileA(target.name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                       TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (emptied != INVALID_HANDLE_VALUE) {
        CloseHandle(emptied);
    }
}

}  // namespace fwsplice
