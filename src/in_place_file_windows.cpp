// Windows: writing the output in place, where no rename can replace it.
#include "output_steps.hpp"

#include "handle_windows.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace fwsplice {
namespace {

/// True when the file reads exactly as bytes from its start; reading it fails the test.
bool reads_as(HANDLE file, const unsigned char* bytes, std::size_t size) noexcept
{
    std::array<unsigned char, 65536> chunk{};
    LARGE_INTEGER start{};
    if (SetFilePointerEx(file, start, nullptr, FILE_BEGIN) == 0) {
        return false;
    }
    while (size > 0) {
        DWORD got = 0;
        const auto wanted = static_cast<DWORD>(std::min(size, chunk.size()));
        if (ReadFile(file, chunk.data(), wanted, &got, nullptr) == 0 || got == 0 ||
            std::memcmp(chunk.data(), bytes, got) != 0) {
            return false;
        }
        bytes += got;
        size -= got;
    }
    return true;
}

}  // namespace

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

bool in_place_file::is_one_of(const output_target& target, const input_views& inputs) const
{
    BY_HANDLE_FILE_INFORMATION output{};
    if (!regular_ || GetFileInformationByHandle(handle_, &output) == 0) {
        return false;
    }
    const std::uint64_t index =
        (std::uint64_t{output.nFileIndexHigh} << 32U) | output.nFileIndexLow;
    const std::uint64_t size = (std::uint64_t{output.nFileSizeHigh} << 32U) | output.nFileSizeLow;
    const auto same = [&output, index](const input_view& input) {
        return input.identity.known && input.identity.device == output.dwVolumeSerialNumber &&
               input.identity.index == index;
    };
    const auto alike = [size](const input_view& input) {
        return size == static_cast<std::uint64_t>(input.size);
    };
    if (std::any_of(inputs.begin(), inputs.end(), same)) {
        return true;
    }
    if (std::none_of(inputs.begin(), inputs.end(), alike)) {
        return false;
    }
    // A share or a view that hides the identity: a file of an input's size is that input
    // where its bytes are the input's, or where it cannot be read to tell.
    const HANDLE reader = CreateFileA(target.name.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reader == INVALID_HANDLE_VALUE) {
        return true;
    }
    const bool copy = std::any_of(inputs.begin(), inputs.end(), [&](const input_view& input) {
        return alike(input) && reads_as(reader, input.head, input.head_size);
    });
    CloseHandle(reader);
    return copy;
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
