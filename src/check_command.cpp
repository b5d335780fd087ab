#include "check_command.hpp"

#include <fwsplice/combined_image.hpp>

#include "bootloader_tail.hpp"
#include "input_file.hpp"
#include "whole_file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fwsplice {
namespace {

/// Fails the check: the old image goes, since a flash step must never take it as up to date.
/// It goes as the merge would replace it: the file its links lead to, where the links are
/// followed by the same rules.
int refuse(const char* image) noexcept
{
    if (const char* const reason = remove_whole_file(image)) {
        std::fprintf(stderr, "fwsplice: %s: not removed: %s\n", image, reason);
    }
    return 1;
}

int unreadable(const char* image, const char* path, const char* reason) noexcept
{
    std::fprintf(stderr, "fwsplice: %s: %s\n", path, reason);
    return refuse(image);
}

/// Opens and measures an input as the tool does, so that a FIFO or a device given as one fails
/// the check instead of holding up the build; where it cannot, size is -1 and reason says why.
file_handle open_input(const char* path, std::int64_t& size, const char*& reason) noexcept
{
    input_open opening = input_open::not_opened;
    file_handle file = open_regular_file(path, opening);
    size = file ? measure(file.get()) : -1;
    reason = opening == input_open::not_regular ? "not a regular file" : std::strerror(errno);
    return file;
}

}  // namespace

int check_command(int argc, char** argv) noexcept
{
    if (argc != 5) {
        std::fputs("usage: fwsplice-check IMAGE BOOTLOADER SKETCH FLASH_SIZE\n", stderr);
        return 2;
    }
    const char* const image = argv[1];
    const char* const bootloader_path = argv[2];
    const char* const sketch_path = argv[3];
    char* end = nullptr;
    const unsigned long long flash_size = std::strtoull(argv[4], &end, 0);
    if (end == argv[4] || *end != '\0') {
        std::fprintf(stderr, "fwsplice: FLASH_SIZE %s is not a number\n", argv[4]);
        return 2;
    }

    std::int64_t sketch_size = -1;
    const char* reason = nullptr;
    const file_handle sketch = open_input(sketch_path, sketch_size, reason);
    if (sketch_size < 0) {
        return unreadable(image, sketch_path, reason);
    }
    const auto image_size = static_cast<unsigned long long>(sketch_size) + sketch_offset;
    if (flash_size != 0 && image_size > flash_size) {
        std::fprintf(stderr,
                     "fwsplice: image %s would be %llu bytes, larger than FLASH_SIZE %llu bytes\n",
                     image, image_size, flash_size);
        return refuse(image);
    }

    std::int64_t bootloader_size = -1;
    const file_handle bootloader = open_input(bootloader_path, bootloader_size, reason);
    if (bootloader_size < 0) {
        return unreadable(image, bootloader_path, reason);
    }
    if (bootloader_size <= sketch_offset) {
        return 0;
    }
    if (std::fseek(bootloader.get(), sketch_offset, SEEK_SET) != 0) {
        return unreadable(image, bootloader_path, std::strerror(errno));
    }
    const bootloader_tail tail = scan_bootloader_tail(bootloader.get(), sketch_offset);
    if (tail.read_error) {
        return unreadable(image, bootloader_path, std::strerror(errno));
    }
    if (tail.first_data >= 0) {
        std::fprintf(stderr,
                     "fwsplice: bootloader %s has data past its %d-byte region: the byte at "
                     "offset %lld is not 0xFF (are BOOTLOADER and SKETCH swapped?)\n",
                     bootloader_path, sketch_offset, static_cast<long long>(tail.first_data));
        return refuse(image);
    }
    return 0;
}

}  // namespace fwsplice
