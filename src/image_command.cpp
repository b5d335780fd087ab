// fwsplice-image: the image of two inputs read by their content, checked before a byte is
// written, and written whole with its Intel HEX copy, or nothing left that a flash step could
// take for it.
#include "image_command.hpp"

#include <fwsplice/combined_image.hpp>

#include "elf_file.hpp"
#include "image_buffer.hpp"
#include "image_checks.hpp"
#include "image_request.hpp"
#include "input_file.hpp"
#include "intel_hex.hpp"
#include "signals.hpp"
#include "text_records.hpp"
#include "whole_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

namespace fwsplice {
namespace {

constexpr int status_written = 0;
constexpr int status_refused = 1;
constexpr int status_usage_error = 2;

constexpr auto sketch_start = static_cast<std::uint64_t>(sketch_offset);

void report_problem(const char* path, const read_problem& problem) noexcept
{
    std::fprintf(stderr, "fwsplice: %s: ", path);
    if (problem.line != 0) {
        std::fprintf(stderr, "line %" PRIu64 ": ", problem.line);
    }
    if (problem.at_address) {
        std::fprintf(stderr, "%s 0x%08" PRIx64 "\n", problem.reason, problem.address);
    } else {
        std::fprintf(stderr, "%s\n", problem.reason);
    }
}

/// Opens an input and reads where its bytes land, by its content; false after a line that
/// says why it cannot be used.
bool read_image_input(const char* role, const char* path, image_input& input) noexcept
{
    input.role = role;
    input.path = path;
    input_open opening = input_open::not_opened;
    input.file = open_regular_file(path, opening);
    const std::int64_t size = input.file ? measure(input.file.get()) : -1;
    if (size < 0 || !peek_format(input.file.get(), input.format)) {
        const bool regular = opening != input_open::not_regular;
        report_problem(path, {regular ? std::strerror(errno) : "not a regular file"});
        return false;
    }
    if (input.format == input_format::elf) {
        input.loaded = read_elf(input.file.get());
    } else if (input.format != input_format::raw) {
        input.loaded = scan_records(input.file.get(), input.format);
    }
    if (input.loaded.result == loaded_bytes::kind::broken) {
        report_problem(path, input.loaded.problem);
        return false;
    }
    input.raw_size = input.format == input_format::raw ? static_cast<std::uint64_t>(size)
                                                       : input.loaded.extent();
    return true;
}

/// Puts the first `count` bytes of an input's raw image at `place`; false after a line that
/// says why.
bool place_input(const image_input& input, unsigned char* place, std::uint64_t count) noexcept
{
    read_problem problem;
    std::FILE* const file = input.file.get();
    if (input.format == input_format::raw) {
        if (!seek_input(file, 0)) {
            problem.reason = std::strerror(errno);
        } else {
            problem.reason =
                read_input(file, place, static_cast<std::size_t>(count), count == input.raw_size);
        }
    } else {
        try {
            image_filler filler(place, input.loaded.lowest(), input.raw_size,
                                input.loaded.overlaps());
            problem = input.format == input_format::elf ? place_elf(file, input.loaded, filler)
                                                        : place_records(file, input.format, filler);
        } catch (const std::exception&) {
            problem.reason = std::strerror(ENOMEM);
        }
    }
    if (problem.reason != nullptr) {
        report_problem(input.path, problem);
        return false;
    }
    return true;
}

/// Refuses an OUTPUT or HEX that is an input, however the path reaches it, or the other of
/// the two: writing it would destroy what the image is made of.
bool writes_no_input(const image_request& request, const kept_files& inputs) noexcept
{
    struct made_file {
        const char* keyword;
        const char* path;
    };
    const std::array<made_file, 2> made{{{"OUTPUT", request.output}, {"HEX", request.hex}}};
    for (const made_file& file : made) {
        const file_identity identity = identify_path(file.path);
        for (std::size_t i = 0; i < 2 && file.path != nullptr; ++i) {
            if (same_file(identity, inputs[i])) {
                std::fprintf(stderr, "fwsplice: %s %s is the %s %s: it would replace an input\n",
                             file.keyword, file.path, i == 0 ? "bootloader" : "sketch",
                             i == 0 ? request.bootloader : request.sketch);
                return false;
            }
        }
    }
    if (request.hex != nullptr &&
        (std::strcmp(request.output, request.hex) == 0 ||
         same_file(identify_path(request.output), identify_path(request.hex)))) {
        std::fprintf(stderr, "fwsplice: OUTPUT and HEX are both %s\n", request.output);
        return false;
    }
    return true;
}

/// Removes an old OUTPUT or HEX, so that no flash step takes it for the image it asked for;
/// an input is never removed, however the path reaches it.
void remove_stale(const char* path, const kept_files& inputs) noexcept
{
    if (path == nullptr || same_file(identify_path(path), inputs[0]) ||
        same_file(identify_path(path), inputs[1])) {
        return;
    }
    if (const char* const reason = remove_whole_file(path, inputs)) {
        std::fprintf(stderr, "fwsplice: %s: not removed: %s\n", path, reason);
    }
}

int refuse(const image_request& request, const kept_files& inputs) noexcept
{
    remove_stale(request.output, inputs);
    remove_stale(request.hex, inputs);
    return status_refused;
}

/// How the writer recognises an input that the output must never overwrite: a raw input by
/// its bytes too, where identities cannot be trusted; one in a format by its identity only.
input_view view_of(const image_input& input, const unsigned char* head, std::uint64_t count)
{
    const bool raw = input.format == input_format::raw;
    return {identify(input.file.get()), raw ? static_cast<std::int64_t>(input.raw_size) : -1, head,
            raw ? static_cast<std::size_t>(count) : 0};
}

/// Writes the HEX copy of the image; false after a line that says why.
bool write_hex(const image_request& request, const image_buffer& image, std::uint64_t size,
               std::uint64_t entry, const input_views& inputs) noexcept
{
    const char* reason = nullptr;
    try {
        std::string text =
            hex_text(image.get(), static_cast<std::size_t>(size), request.origin, entry);
        image_source source{reinterpret_cast<unsigned char*>(text.data()), text.size(), nullptr, 0};
        reason = write_whole_file(request.hex, source, inputs).reason;
    } catch (const std::exception&) {
        reason = std::strerror(ENOMEM);
    }
    if (reason != nullptr) {
        std::fprintf(stderr, "fwsplice: %s: %s\n", request.hex, reason);
    }
    return reason == nullptr;
}

}  // namespace

int image_command(int argc, char** argv) noexcept
{
    prepare_process();
    image_request request;
    const request_kind kind = parse_image_request(argc, argv, request);
    if (kind != request_kind::run) {
        return kind == request_kind::answered ? status_written : status_usage_error;
    }
    image_input bootloader;
    image_input sketch;
    const bool opened = read_image_input("bootloader", request.bootloader, bootloader) &&
                        read_image_input("sketch", request.sketch, sketch);
    const kept_files inputs{
        identify_path(request.bootloader), identify_path(request.sketch), {}, {}};
    if (!writes_no_input(request, inputs) || !opened) {
        return refuse(request, inputs);
    }
    if (!sketch_fits(request, sketch) || !bootloader_fits(bootloader) ||
        !linked_in_place(request, bootloader, sketch) ||
        !hex_can_hold(request, sketch_start + sketch.raw_size)) {
        return refuse(request, inputs);
    }

    const std::uint64_t image_size = sketch_start + sketch.raw_size;
    const image_buffer image = allocate_image(static_cast<std::size_t>(image_size));
    if (!image) {
        std::fprintf(stderr, "fwsplice: %s\n", std::strerror(ENOMEM));
        return refuse(request, inputs);
    }
    const std::uint64_t kept = std::min(bootloader.raw_size, sketch_start);
    unsigned char* const sketch_place = image.get() + sketch_offset;
    // A raw sketch is copied by the kernel where it can, unless the HEX needs its bytes here.
    const bool copy_sketch = sketch.format == input_format::raw && request.hex == nullptr;
    if (!place_input(bootloader, image.get(), kept) ||
        (!copy_sketch && !place_input(sketch, sketch_place, sketch.raw_size))) {
        return refuse(request, inputs);
    }
    std::fill(image.get() + kept, sketch_place, gap_value);
    const input_views views{view_of(bootloader, image.get(), kept),
                            view_of(sketch, sketch_place, sketch.raw_size)};
    const std::uint64_t entry = bootloader.loaded.entry;
    bootloader.file.reset();
    if (copy_sketch && !seek_input(sketch.file.get(), 0)) {
        report_problem(request.sketch, {std::strerror(errno)});
        return refuse(request, inputs);
    }
    if (!copy_sketch) {
        sketch.file.reset();
    }

    image_source source{
        image.get(), static_cast<std::size_t>(copy_sketch ? sketch_start : image_size),
        std::move(sketch.file), static_cast<std::size_t>(copy_sketch ? sketch.raw_size : 0)};
    const write_result written = write_whole_file(request.output, source, views);
    if (written.failed != write_step::none) {
        const bool reading = written.failed == write_step::read_tail;
        std::fprintf(stderr, "fwsplice: %s: %s\n", reading ? request.sketch : request.output,
                     written.reason);
        return refuse(request, inputs);
    }
    if (request.hex != nullptr && !write_hex(request, image, image_size, entry, views)) {
        return refuse(request, inputs);
    }
    report_usage(request, image_size, kept);
    return status_written;
}

}  // namespace fwsplice
