#include "merge_command.hpp"

#include "combined_image.hpp"
#include "huge_pages.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

namespace fwsplice {
namespace {

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

/// An open stream, closed on every road. Only the output's close is worth checking, and
/// write_image does that itself; an input's bytes are already in the image when it closes.
using file_handle = std::unique_ptr<std::FILE, file_closer>;

/// How the messages name an input, and how large it may be.
struct input_role {
    const char* name;
    const char* title;
    std::int64_t max_size;
};

constexpr input_role bootloader_role{"bootloader", "Bootloader", max_bootloader_size};
constexpr input_role sketch_role{"sketch", "Sketch", max_sketch_size};

void report_unreadable(const input_role& role, const char* path) noexcept
{
    std::printf("Unable to read %s binary file %s\n", role.name, path);
}

/// True for a path that exists but is no regular file (a directory, FIFO or device): it has
/// no length to measure, and opening a FIFO would block. Where the type cannot be learnt,
/// the checked open, seek, tell and read decide instead. Windows gets the path as UTF-8, the
/// code page that the application manifest selects; elsewhere it passes as bytes.
bool is_special_file(const char* path) noexcept
{
    try {
        std::error_code error;
        const std::filesystem::file_status status =
            std::filesystem::status(std::filesystem::u8path(path), error);
        return !error && !std::filesystem::is_regular_file(status);
    } catch (const std::exception&) {  // a path that cannot be held, or is not UTF-8
        return false;
    }
}

/// The length of an open input, or -1 where seeking cannot tell it.
long measure(std::FILE* file) noexcept
{
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return -1;
    }
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        return -1;
    }
    return size;
}

/// Opens and measures one input and prints its "Opened" line, or prints its one failure
/// message and returns no stream.
file_handle open_input(const input_role& role, const char* path, std::int32_t& size) noexcept
{
    if (is_special_file(path)) {
        report_unreadable(role, path);
        return nullptr;
    }
    file_handle file{std::fopen(path, "rb")};
    if (!file) {
        std::printf("Unable to open %s binary file %s\n", role.name, path);
        return nullptr;
    }
    // Unbuffered, so that measuring reads nothing and the one fread is one read from the file;
    // should the library refuse, the stream stays buffered and works the same.
    static_cast<void>(std::setvbuf(file.get(), nullptr, _IONBF, 0));
    const long measured = measure(file.get());
    if (measured < 0) {
        report_unreadable(role, path);
        return nullptr;
    }
    if (measured > role.max_size) {
        std::printf("%s binary file %s is too large\n", role.title, path);
        return nullptr;
    }
    size = static_cast<std::int32_t>(measured);
    std::printf("Opened %s file %s : size is %d\n", role.name, path, size);
    return file;
}

/// Moves the first count bytes of an input into place with one read request, then closes
/// it; false if fewer bytes came than were asked for.
bool read_input(file_handle file, unsigned char* place, std::int32_t count) noexcept
{
    const auto wanted = static_cast<std::size_t>(count);
    return std::fread(place, 1, wanted, file.get()) == wanted;
}

/// Writes the whole image with one write request and closes the output; false if any
/// byte may not have reached the file.
bool write_image(file_handle file, const unsigned char* image, std::int32_t size) noexcept
{
    const auto wanted = static_cast<std::size_t>(size);
    const bool written = std::fwrite(image, 1, wanted, file.get()) == wanted;
    return std::fclose(file.release()) == 0 && written;
}

/// Removes the output after a failed write, so that no truncated image is left behind to
/// be flashed. Only a regular file goes: a device such as /dev/full, or a link, stays.
void remove_failed_output(const char* path) noexcept
{
    try {
        const std::filesystem::path output = std::filesystem::u8path(path);
        std::error_code error;
        if (std::filesystem::is_regular_file(std::filesystem::symlink_status(output, error))) {
            std::filesystem::remove(output, error);
        }
    } catch (const std::exception&) {
        return;  // The path cannot be held or converted; leave the file rather than guess.
    }
}

}  // namespace

int merge_command(int argc, char** argv) noexcept
{
    if (argc != 4) {
        std::puts(
            "\nUsage. fwsplice bootloader.bin sketch.bin output.bin - Incorrect number of args\n");
        return status_usage;
    }
    const char* const bootloader_path = argv[1];
    const char* const sketch_path = argv[2];
    const char* const output_path = argv[3];

    std::int32_t bootloader_size = 0;
    file_handle bootloader = open_input(bootloader_role, bootloader_path, bootloader_size);
    if (!bootloader) {
        return status_file_failed;
    }
    std::int32_t sketch_size = 0;
    file_handle sketch = open_input(sketch_role, sketch_path, sketch_size);
    if (!sketch) {
        return status_file_failed;
    }

    const image_layout layout = layout_for(bootloader_size, sketch_size);
    const auto image_size = static_cast<std::size_t>(layout.total_size);
    // An array, not a vector: a vector would zero the image only for the reads to overwrite it.
    // NOLINTNEXTLINE(modernize-avoid-c-arrays)
    const std::unique_ptr<unsigned char[]> image{new (std::nothrow) unsigned char[image_size]};
    if (!image) {
        std::puts("Unable to open allocate memory");
        return status_no_memory;
    }
    std::printf("Allocated %d bytes for buffer\n", layout.total_size);
    advise_huge_pages(image.get(), image_size);

    std::fill_n(image.get() + layout.bootloader_bytes, layout.gap_bytes, gap_value);
    if (!read_input(std::move(bootloader), image.get(), layout.bootloader_bytes)) {
        report_unreadable(bootloader_role, bootloader_path);
        return status_file_failed;
    }
    if (!read_input(std::move(sketch), image.get() + sketch_offset, layout.sketch_bytes)) {
        report_unreadable(sketch_role, sketch_path);
        return status_file_failed;
    }

    file_handle output{std::fopen(output_path, "wb")};
    if (!output) {
        std::printf("Unable to open output file %s for writing \n", output_path);
        return status_file_failed;
    }
    if (!write_image(std::move(output), image.get(), layout.total_size)) {
        remove_failed_output(output_path);
        std::printf("Unable to write output file %s\n", output_path);
        return status_file_failed;
    }
    std::printf("Wrote combined file to %s \n", output_path);
    return status_merged;
}

}  // namespace fwsplice
