// The checks of an image before it is written: sizes, the bootloader's region, and where the
// inputs are linked.
#include "image_checks.hpp"

#include <fwsplice/combined_image.hpp>

#include "bootloader_tail.hpp"
#include "input_file.hpp"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace fwsplice {
namespace {

constexpr auto region = static_cast<std::uint64_t>(sketch_offset);

/// Where a file's bytes reach past `limit` bytes from its start: the first such address.
bool reaches_past(const image_input& input, std::uint64_t limit, std::uint64_t& first) noexcept
{
    const std::uint64_t lowest = input.loaded.lowest();
    return input.format != input_format::raw && lowest <= UINT64_MAX - limit &&
           input.loaded.reaches(lowest + limit, first);
}

void report_data_past(const image_input& input, std::uint64_t first, std::uint64_t limit,
                      const char* hint) noexcept
{
    std::fprintf(stderr,
                 "%s has data at 0x%08" PRIx64 ", past the %" PRIu64 " bytes from its start at "
                 "0x%08" PRIx64 " that the image holds of it%s\n",
                 input.path, first, limit, input.loaded.lowest(), hint);
}

/// Where an input's raw image starts in flash, where its file tells.
struct link_address {
    const char* role;
    const char* name;
    bool known;
    std::uint64_t address;
};

link_address linked_at(const image_input& input) noexcept
{
    const bool known = input.format != input_format::raw;
    return {input.role, input.path, known, known ? input.loaded.lowest() : 0};
}

/// One input linked elsewhere than FLASH_ORIGIN puts it: it is the one to link again.
void report_misplaced(const image_request& request, const link_address& input,
                      std::uint64_t offset) noexcept
{
    const std::uint64_t wanted = request.origin + offset;
    std::array<char, 64> placed{};
    if (offset == 0) {
        std::snprintf(placed.data(), placed.size(), "FLASH_ORIGIN 0x%08llx", request.origin);
    } else {
        std::snprintf(placed.data(), placed.size(), "FLASH_ORIGIN 0x%08llx + 0x%" PRIx64,
                      request.origin, offset);
    }
    std::fprintf(stderr,
                 "fwsplice: %s %s is linked at 0x%08" PRIx64
                 ", but the image puts it at 0x%08" PRIx64 " (%s): link it at 0x%08" PRIx64 "\n",
                 input.role, input.name, input.address, wanted, placed.data(), wanted);
}

}  // namespace

bool sketch_fits(const image_request& request, const image_input& sketch) noexcept
{
    const std::uint64_t limit =
        request.has_flash_size ? (request.flash_size > region ? request.flash_size - region : 0)
                               : static_cast<std::uint64_t>(max_sketch_size);
    if (sketch.raw_size <= limit) {
        return true;
    }
    // The size it would need, even where it is far beyond what any flash holds.
    const std::uint64_t image_size =
        sketch.raw_size > UINT64_MAX - region ? UINT64_MAX : sketch.raw_size + region;
    if (request.has_flash_size) {
        std::fprintf(stderr,
                     "fwsplice: image %s would be %" PRIu64 " bytes, larger than FLASH_SIZE "
                     "%llu bytes",
                     request.output, image_size, request.flash_size);
    } else {
        std::fprintf(stderr,
                     "fwsplice: image %s would be %" PRIu64 " bytes, larger than the %" PRId64
                     " bytes an image can hold",
                     request.output, image_size, max_sketch_size + region);
    }
    std::uint64_t first = 0;
    if (limit > 0 && reaches_past(sketch, limit, first)) {
        std::fputs(": ", stderr);
        report_data_past(sketch, first, limit, "");
    } else {
        std::fputc('\n', stderr);
    }
    return false;
}

bool bootloader_fits(const image_input& bootloader) noexcept
{
    std::uint64_t first = 0;
    if (reaches_past(bootloader, region, first)) {
        std::fputs("fwsplice: ", stderr);
        report_data_past(bootloader, first, region,
                         " (the bootloader's region: are BOOTLOADER and SKETCH swapped?)");
        return false;
    }
    if (bootloader.format != input_format::raw || bootloader.raw_size <= region) {
        return true;
    }
    const bool read = seek_input(bootloader.file.get(), sketch_offset);
    const bootloader_tail tail = read ? scan_bootloader_tail(bootloader.file.get(), sketch_offset)
                                      : bootloader_tail{-1, true};
    if (tail.read_error) {
        std::fprintf(stderr, "fwsplice: %s: %s\n", bootloader.path, std::strerror(errno));
        return false;
    }
    if (tail.first_data >= 0) {
        std::fprintf(stderr,
                     "fwsplice: bootloader %s has data past its %d-byte region: the byte at "
                     "offset %lld is not 0xFF (are BOOTLOADER and SKETCH swapped?)\n",
                     bootloader.path, sketch_offset, static_cast<long long>(tail.first_data));
        return false;
    }
    return true;
}

bool linked_in_place(const image_request& request, const image_input& bootloader_input,
                     const image_input& sketch_input) noexcept
{
    const link_address bootloader = linked_at(bootloader_input);
    const link_address sketch = linked_at(sketch_input);
    const bool apart =
        bootloader.known && sketch.known && sketch.address - bootloader.address == region;
    if (!request.has_origin) {
        if (bootloader.known && sketch.known && !apart) {
            std::fprintf(stderr,
                         "fwsplice: sketch %s is linked at 0x%08" PRIx64 " and bootloader %s at "
                         "0x%08" PRIx64 ", but the image puts the sketch 0x%x above the "
                         "bootloader: link it at 0x%08" PRIx64 "\n",
                         sketch.name, sketch.address, bootloader.name, bootloader.address,
                         sketch_offset, bootloader.address + region);
            return false;
        }
        return true;
    }
    // Both linked for one other origin: the setting is wrong, not the two programs.
    if (apart && bootloader.address != request.origin) {
        std::fprintf(stderr,
                     "fwsplice: bootloader %s is linked at 0x%08" PRIx64 " and sketch %s at "
                     "0x%08" PRIx64 ", as for FLASH_ORIGIN 0x%08" PRIx64 ", but FLASH_ORIGIN is "
                     "0x%08llx: FLASH_ORIGIN is likely wrong; set it to 0x%08" PRIx64 "\n",
                     bootloader.name, bootloader.address, sketch.name, sketch.address,
                     bootloader.address, request.origin, bootloader.address);
        return false;
    }
    if (sketch.known && sketch.address != request.origin + region) {
        report_misplaced(request, sketch, region);
        return false;
    }
    if (bootloader.known && bootloader.address != request.origin) {
        report_misplaced(request, bootloader, 0);
        return false;
    }
    return true;
}

bool hex_can_hold(const image_request& request, std::uint64_t image_size) noexcept
{
    constexpr std::uint64_t hex_addresses = std::uint64_t{1} << 32U;
    if (request.hex == nullptr ||
        (request.origin <= hex_addresses && image_size <= hex_addresses - request.origin)) {
        return true;
    }
    std::fprintf(stderr,
                 "fwsplice: HEX %s cannot hold the image at FLASH_ORIGIN 0x%08llx: Intel HEX "
                 "addresses end at 4 GiB\n",
                 request.hex, request.origin);
    return false;
}

void report_usage(const image_request& request, std::uint64_t image_size,
                  std::uint64_t bootloader_size) noexcept
{
    const char* name = request.output;
    for (const char* at = request.output; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\') {
            name = at + 1;
        }
    }
    const std::uint64_t kept = bootloader_size < region ? bootloader_size : region;
    if (request.has_flash_size) {
        std::printf("fwsplice: %s: %" PRIu64 " of %llu bytes of flash (%.1f%%); bootloader %" PRIu64
                    " of %d\n",
                    name, image_size, request.flash_size,
                    100.0 * static_cast<double>(image_size) /
                        static_cast<double>(request.flash_size),
                    kept, sketch_offset);
    } else {
        std::printf("fwsplice: %s: %" PRIu64 " bytes; bootloader %" PRIu64 " of %d\n", name,
                    image_size, kept, sketch_offset);
    }
}

}  // namespace fwsplice
