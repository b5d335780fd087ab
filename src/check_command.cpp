#include "check_command.hpp"

#include <fwsplice/combined_image.hpp>

#include "bootloader_tail.hpp"
#include "elf_file.hpp"
#include "input_file.hpp"
#include "whole_file.hpp"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace fwsplice {
namespace {

constexpr const char* usage =
    "usage: fwsplice-check IMAGE BOOTLOADER SKETCH FLASH_SIZE [--hex FILE] [--origin ADDRESS]\n"
    "                      [--bootloader-elf NAME FILE] [--sketch-elf NAME FILE]\n";

/// An input that was built here, and the ELF file it was converted from.
struct built_input {
    const char* name = nullptr;
    const char* elf = nullptr;
};

/// What the build asks the check for.
struct check_request {
    const char* image = nullptr;
    const char* bootloader = nullptr;
    const char* sketch = nullptr;
    unsigned long long flash_size = 0;
    const char* hex = nullptr;
    bool has_origin = false;
    unsigned long long origin = 0;
    built_input bootloader_elf;
    built_input sketch_elf;
};

bool parse_number(const char* text, unsigned long long& value) noexcept
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 0);
    return end != text && *end == '\0' && errno == 0 && *text != '-';
}

/// Reads the arguments; false, after a line that says why, where they make no request.
bool parse(int argc, char** argv, check_request& request) noexcept
{
    if (argc < 5) {
        std::fputs(usage, stderr);
        return false;
    }
    request.image = argv[1];
    request.bootloader = argv[2];
    request.sketch = argv[3];
    if (!parse_number(argv[4], request.flash_size)) {
        std::fprintf(stderr, "fwsplice: FLASH_SIZE %s is not a number\n", argv[4]);
        return false;
    }
    for (int i = 5; i < argc; ++i) {
        const std::string_view option = argv[i];
        const int left = argc - i - 1;
        if (option == "--hex" && left >= 1) {
            request.hex = argv[++i];
        } else if (option == "--origin" && left >= 1) {
            request.has_origin = parse_number(argv[++i], request.origin);
            if (!request.has_origin) {
                std::fprintf(stderr, "fwsplice: FLASH_ORIGIN %s is not a number\n", argv[i]);
                return false;
            }
        } else if ((option == "--bootloader-elf" || option == "--sketch-elf") && left >= 2) {
            built_input& input =
                option == "--sketch-elf" ? request.sketch_elf : request.bootloader_elf;
            input = {argv[i + 1], argv[i + 2]};
            i += 2;
        } else {
            std::fputs(usage, stderr);
            return false;
        }
    }
    return true;
}

/// Removes a file that the merge would replace, as the merge would replace it: the file that
/// its links lead to, where the links are followed by the same rules. False, with a line that
/// says why, where it stays.
bool remove_stale(const char* file) noexcept
{
    const char* const reason = file != nullptr ? remove_whole_file(file) : nullptr;
    if (reason != nullptr) {
        std::fprintf(stderr, "fwsplice: %s: not removed: %s\n", file, reason);
    }
    return reason == nullptr;
}

/// Fails the check: the old image and its HEX go, since a flash step must never take them as
/// up to date.
int refuse(const check_request& request) noexcept
{
    remove_stale(request.image);
    remove_stale(request.hex);
    return 1;
}

int unreadable(const check_request& request, const char* path, const char* reason) noexcept
{
    std::fprintf(stderr, "fwsplice: %s: %s\n", path, reason);
    return refuse(request);
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

/// Checks that an input built here is linked where the image puts it: the address at which
/// objcopy starts its raw binary is where the image's bytes will sit in flash. A file that is
/// not ELF is not checked.
bool linked_in_place(const check_request& request, const char* role, const built_input& input,
                     unsigned long long offset) noexcept
{
    if (input.elf == nullptr) {
        return true;
    }
    std::int64_t size = -1;
    const char* reason = nullptr;
    const file_handle file = open_input(input.elf, size, reason);
    if (size < 0) {
        std::fprintf(stderr, "fwsplice: %s: %s\n", input.elf, reason);
        return false;
    }
    const elf_load load = read_elf_load(file.get());
    const unsigned long long wanted = request.origin + offset;
    if (load.result == elf_load::kind::broken) {
        std::fprintf(stderr, "fwsplice: %s %s: %s: %s\n", role, input.name, input.elf, load.reason);
        return false;
    }
    if (load.result == elf_load::kind::loads && load.lowest_address != wanted) {
        std::array<char, 64> placed{};
        if (offset == 0) {
            std::snprintf(placed.data(), placed.size(), "FLASH_ORIGIN 0x%08llx", request.origin);
        } else {
            std::snprintf(placed.data(), placed.size(), "FLASH_ORIGIN 0x%08llx + 0x%llx",
                          request.origin, offset);
        }
        std::fprintf(stderr,
                     "fwsplice: %s %s is linked at 0x%08" PRIx64
                     ", but the image puts it at 0x%08llx (%s): link it at 0x%08llx\n",
                     role, input.name, load.lowest_address, wanted, placed.data(), wanted);
        return false;
    }
    return true;
}

/// The line a linker's memory summary would give: the image against the flash, and the
/// bootloader against its region.
void report_usage(const check_request& request, unsigned long long image_size,
                  std::int64_t bootloader_size) noexcept
{
    const char* name = request.image;
    for (const char* at = request.image; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\') {
            name = at + 1;
        }
    }
    const long long kept = bootloader_size < sketch_offset ? bootloader_size : sketch_offset;
    if (request.flash_size != 0) {
        std::fprintf(
            stderr, "fwsplice: %s: %llu of %llu bytes of flash (%.1f%%); bootloader %lld of %d\n",
            name, image_size, request.flash_size,
            100.0 * static_cast<double>(image_size) / static_cast<double>(request.flash_size), kept,
            sketch_offset);
    } else {
        std::fprintf(stderr, "fwsplice: %s: %llu bytes; bootloader %lld of %d\n", name, image_size,
                     kept, sketch_offset);
    }
}

}  // namespace

int check_command(int argc, char** argv) noexcept
{
    check_request request;
    if (!parse(argc, argv, request)) {
        return 2;
    }

    std::int64_t sketch_size = -1;
    const char* reason = nullptr;
    const file_handle sketch = open_input(request.sketch, sketch_size, reason);
    if (sketch_size < 0) {
        return unreadable(request, request.sketch, reason);
    }
    const auto image_size = static_cast<unsigned long long>(sketch_size) + sketch_offset;
    if (request.flash_size != 0 && image_size > request.flash_size) {
        std::fprintf(stderr,
                     "fwsplice: image %s would be %llu bytes, larger than FLASH_SIZE %llu bytes\n",
                     request.image, image_size, request.flash_size);
        return refuse(request);
    }

    std::int64_t bootloader_size = -1;
    const file_handle bootloader = open_input(request.bootloader, bootloader_size, reason);
    if (bootloader_size < 0) {
        return unreadable(request, request.bootloader, reason);
    }
    if (bootloader_size > sketch_offset) {
        if (std::fseek(bootloader.get(), sketch_offset, SEEK_SET) != 0) {
            return unreadable(request, request.bootloader, std::strerror(errno));
        }
        const bootloader_tail tail = scan_bootloader_tail(bootloader.get(), sketch_offset);
        if (tail.read_error) {
            return unreadable(request, request.bootloader, std::strerror(errno));
        }
        if (tail.first_data >= 0) {
            std::fprintf(stderr,
                         "fwsplice: bootloader %s has data past its %d-byte region: the byte at "
                         "offset %lld is not 0xFF (are BOOTLOADER and SKETCH swapped?)\n",
                         request.bootloader, sketch_offset,
                         static_cast<long long>(tail.first_data));
            return refuse(request);
        }
    }
    if (request.has_origin &&
        (!linked_in_place(request, "sketch", request.sketch_elf, sketch_offset) ||
         !linked_in_place(request, "bootloader", request.bootloader_elf, 0))) {
        return refuse(request);
    }
    // The HEX copy of the old image is stale from here on; the merge makes it anew.
    if (!remove_stale(request.hex)) {
        return 1;
    }
    report_usage(request, image_size, bootloader_size);
    return 0;
}

}  // namespace fwsplice
