#include "check_command.hpp"

#include <fwsplice/combined_image.hpp>

#include "bootloader_tail.hpp"
#include "check_inputs.hpp"
#include "check_request.hpp"
#include "input_file.hpp"
#include "whole_file.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace fwsplice {
namespace {

/// The files a failed check must never remove, whatever IMAGE and HEX name: the inputs, and
/// the files they were converted from. Compared as files, so that a link or a second hard link
/// to an input is kept too.
kept_files inputs_of(const check_request& request) noexcept
{
    return {identify_path(request.bootloader), identify_path(request.sketch),
            identify_path(request.bootloader_source.source),
            identify_path(request.sketch_source.source)};
}

/// Removes a file that the merge would replace, as the merge would replace it: the file that
/// its links lead to, where the links are followed by the same rules. False, with a line that
/// says why, where it stays.
bool remove_stale(const char* file, const kept_files& kept) noexcept
{
    const char* const reason = file != nullptr ? remove_whole_file(file, kept) : nullptr;
    if (reason != nullptr) {
        std::fprintf(stderr, "fwsplice: %s: not removed: %s\n", file, reason);
    }
    return reason == nullptr;
}

/// Fails the check: the old image and its HEX go, since a flash step must never take them as
/// up to date.
int refuse(const check_request& request, const kept_files& kept) noexcept
{
    remove_stale(request.image, kept);
    remove_stale(request.hex, kept);
    return 1;
}

int unreadable(const check_request& request, const kept_files& kept, const char* path,
               const char* reason) noexcept
{
    std::fprintf(stderr, "fwsplice: %s: %s\n", path, reason);
    return refuse(request, kept);
}

/// Whether an input to be merged holds raw bytes. The build converts a file whose content was
/// ELF, HEX or S-record when it was configured; one that has become so since is refused, as its
/// records would go into flash as text.
bool holds_raw_bytes(const char* role, const char* path, std::FILE* file) noexcept
{
    input_format format = input_format::raw;
    if (!peek_format(file, format) || format == input_format::raw) {
        return true;
    }
    std::fprintf(stderr,
                 "fwsplice: %s %s is %s, not a raw image (%s makes one): configure again to have "
                 "it converted\n",
                 role, path, format_title(format), raw_image_command(format));
    return false;
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

/// Before a file is converted to raw bytes: prints the format objcopy is to read it as, and
/// fails where its bytes reach further than an image could hold, before objcopy makes a file
/// the size of the gap between its regions.
int check_source(const source_request& request) noexcept
{
    std::int64_t size = -1;
    const char* reason = nullptr;
    const file_handle file = open_checked(request.file, size, reason);
    if (size < 0) {
        std::fprintf(stderr, "fwsplice: %s: %s\n", request.file, reason);
        return 1;
    }
    const loaded_bytes loaded = read_loaded(file.get());
    if (loaded.result == loaded_bytes::kind::broken) {
        std::fprintf(stderr, "fwsplice: %s: %s\n", request.file, loaded.reason);
        return 1;
    }
    const std::uint64_t lowest = loaded.lowest();
    std::uint64_t first = 0;
    if (loaded.result == loaded_bytes::kind::loads && lowest <= UINT64_MAX - request.limit &&
        loaded.reaches(lowest + request.limit, first)) {
        // Only a bootloader is given its region's size; a sketch there is the likely mistake.
        const bool region = request.limit == static_cast<unsigned long long>(sketch_offset);
        std::fprintf(stderr,
                     "fwsplice: %s has data at 0x%08" PRIx64 ", past the %llu bytes from its start "
                     "at 0x%08" PRIx64 " that the image holds of it%s\n",
                     request.file, first, request.limit, lowest,
                     region ? " (the bootloader's region: are BOOTLOADER and SKETCH swapped?)"
                            : "");
        return 1;
    }
    std::printf("%s\n", loaded.objcopy_format);
    return 0;
}

}  // namespace

int check_command(int argc, char** argv) noexcept
{
    if (argc > 1 && std::string_view(argv[1]) == "--source") {
        source_request source;
        return parse_source(argc, argv, source) ? check_source(source) : 2;
    }
    check_request request;
    if (!parse_check(argc, argv, request)) {
        return 2;
    }
    const kept_files kept = inputs_of(request);

    std::int64_t sketch_size = -1;
    const char* reason = nullptr;
    const file_handle sketch = open_checked(request.sketch, sketch_size, reason);
    if (sketch_size < 0) {
        return unreadable(request, kept, request.sketch, reason);
    }
    if (!holds_raw_bytes("sketch", request.sketch, sketch.get())) {
        return refuse(request, kept);
    }
    const auto image_size = static_cast<unsigned long long>(sketch_size) + sketch_offset;
    if (request.flash_size != 0 && image_size > request.flash_size) {
        std::fprintf(stderr,
                     "fwsplice: image %s would be %llu bytes, larger than FLASH_SIZE %llu bytes\n",
                     request.image, image_size, request.flash_size);
        return refuse(request, kept);
    }

    std::int64_t bootloader_size = -1;
    const file_handle bootloader = open_checked(request.bootloader, bootloader_size, reason);
    if (bootloader_size < 0) {
        return unreadable(request, kept, request.bootloader, reason);
    }
    if (!holds_raw_bytes("bootloader", request.bootloader, bootloader.get())) {
        return refuse(request, kept);
    }
    if (bootloader_size > sketch_offset) {
        if (std::fseek(bootloader.get(), sketch_offset, SEEK_SET) != 0) {
            return unreadable(request, kept, request.bootloader, std::strerror(errno));
        }
        const bootloader_tail tail = scan_bootloader_tail(bootloader.get(), sketch_offset);
        if (tail.read_error) {
            return unreadable(request, kept, request.bootloader, std::strerror(errno));
        }
        if (tail.first_data >= 0) {
            std::fprintf(stderr,
                         "fwsplice: bootloader %s has data past its %d-byte region: the byte at "
                         "offset %lld is not 0xFF (are BOOTLOADER and SKETCH swapped?)\n",
                         request.bootloader, sketch_offset,
                         static_cast<long long>(tail.first_data));
            return refuse(request, kept);
        }
    }
    link_address bootloader_link;
    link_address sketch_link;
    if (!read_link_address("sketch", request.sketch_source, sketch_link) ||
        !read_link_address("bootloader", request.bootloader_source, bootloader_link) ||
        !linked_in_place(request, bootloader_link, sketch_link)) {
        return refuse(request, kept);
    }
    // The HEX copy of the old image is stale from here on; the merge makes it anew.
    if (!remove_stale(request.hex, kept)) {
        return 1;
    }
    report_usage(request, image_size, bootloader_size);
    return 0;
}

}  // namespace fwsplice
