// What the check reads of its inputs: where the bytes of ELF, HEX and S-record files land.
#include "check_inputs.hpp"

#include <fwsplice/combined_image.hpp>

#include "elf_file.hpp"
#include "input_file.hpp"
#include "text_records.hpp"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace fwsplice {

file_handle open_checked(const char* path, std::int64_t& size, const char*& reason) noexcept
{
    input_open opening = input_open::not_opened;
    file_handle file = open_regular_file(path, opening);
    size = file ? measure(file.get()) : -1;
    reason = opening == input_open::not_regular ? "not a regular file" : std::strerror(errno);
    return file;
}

loaded_bytes read_loaded(std::FILE* file) noexcept
{
    input_format format = input_format::raw;
    if (!peek_format(file, format)) {
        loaded_bytes unreadable;
        unreadable.result = loaded_bytes::kind::broken;
        unreadable.reason = std::strerror(errno);
        return unreadable;
    }
    switch (format) {
    case input_format::elf:
        return read_elf(file);
    case input_format::intel_hex:
    case input_format::srecord:
        return read_records(file, format);
    default:
        return {};
    }
}

bool read_link_address(const char* role, const converted_input& input,
                       link_address& linked) noexcept
{
    linked = {role, input.name, false, 0};
    if (input.source == nullptr) {
        return true;
    }
    std::int64_t size = -1;
    const char* reason = nullptr;
    const file_handle file = open_checked(input.source, size, reason);
    if (size < 0) {
        std::fprintf(stderr, "fwsplice: %s: %s\n", input.source, reason);
        return false;
    }
    const loaded_bytes loaded = read_loaded(file.get());
    if (loaded.result == loaded_bytes::kind::broken) {
        std::fprintf(stderr, "fwsplice: %s %s: %s: %s\n", role, input.name, input.source,
                     loaded.reason);
        return false;
    }
    linked.known = loaded.result == loaded_bytes::kind::loads;
    linked.address = linked.known ? loaded.lowest() : 0;
    return true;
}

namespace {

/// One input linked elsewhere than FLASH_ORIGIN puts it: it is the one to link again.
void report_misplaced(const check_request& request, const link_address& input,
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

bool linked_in_place(const check_request& request, const link_address& bootloader,
                     const link_address& sketch) noexcept
{
    const auto offset = static_cast<std::uint64_t>(sketch_offset);
    const bool apart =
        bootloader.known && sketch.known && sketch.address - bootloader.address == offset;
    if (!request.has_origin) {
        if (bootloader.known && sketch.known && !apart) {
            std::fprintf(stderr,
                         "fwsplice: sketch %s is linked at 0x%08" PRIx64 " and bootloader %s at "
                         "0x%08" PRIx64 ", but the image puts the sketch 0x%x above the "
                         "bootloader: link it at 0x%08" PRIx64 "\n",
                         sketch.name, sketch.address, bootloader.name, bootloader.address,
                         sketch_offset, bootloader.address + offset);
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
    if (sketch.known && sketch.address != request.origin + offset) {
        report_misplaced(request, sketch, offset);
        return false;
    }
    if (bootloader.known && bootloader.address != request.origin) {
        report_misplaced(request, bootloader, 0);
        return false;
    }
    return true;
}

}  // namespace fwsplice
