#include "check_command.hpp"

#include <fwsplice/combined_image.hpp>

#include "bootloader_tail.hpp"
#include "file_handle.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fwsplice {
namespace {

/// Fails the check: the old image goes, since a flash step must never take it as up to date.
int refuse(const char* image) noexcept
{
    static_cast<void>(std::remove(image));
    return 1;
}

int unreadable(const char* image, const char* path) noexcept
{
    std::fprintf(stderr, "fwsplice: %s: %s\n", path, std::strerror(errno));
    return refuse(image);
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

    const file_handle sketch{std::fopen(sketch_path, "rb")};
    const std::int64_t sketch_size = sketch ? measure(sketch.get()) : -1;
    if (sketch_size < 0) {
        return unreadable(image, sketch_path);
    }
    const auto image_size = static_cast<unsigned long long>(sketch_size) + sketch_offset;
    if (flash_size != 0 && image_size > flash_size) {
        std::fprintf(stderr,
                     "fwsplice: image %s would be %llu bytes, larger than FLASH_SIZE %llu bytes\n",
                     image, image_size, flash_size);
        return refuse(image);
    }

    const file_handle bootloader{std::fopen(bootloader_path, "rb")};
    const std::int64_t bootloader_size = bootloader ? measure(bootloader.get()) : -1;
    if (bootloader_size < 0) {
        return unreadable(image, bootloader_path);
    }
    if (bootloader_size <= sketch_offset) {
        return 0;
    }
    if (std::fseek(bootloader.get(), sketch_offset, SEEK_SET) != 0) {
        return unreadable(image, bootloader_path);
    }
    const bootloader_tail tail = scan_bootloader_tail(bootloader.get(), sketch_offset);
    if (tail.read_error) {
        return unreadable(image, bootloader_path);
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
