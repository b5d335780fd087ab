#include "merge_command.hpp"

#include <fwsplice/combined_image.hpp>

#include "bootloader_tail.hpp"
#include "image_buffer.hpp"
#include "input_file.hpp"
#include "input_format.hpp"
#include "signals.hpp"
#include "whole_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace fwsplice {
namespace {

/// How the messages name an input, and how large it may be.
struct input_role {
    const char* name;
    const char* title;
    std::int64_t max_size;
};

constexpr input_role bootloader_role{"bootloader", "Bootloader", max_bootloader_size};
constexpr input_role sketch_role{"sketch", "Sketch", max_sketch_size};

/// The second line of a failure, on standard error: what the system said, for users whose
/// standard output goes to a log or nowhere. Flushed after the first, so that the two stay in
/// order where both streams go to one place.
void report_reason(const char* path, const char* reason) noexcept
{
    std::fflush(stdout);
    std::fprintf(stderr, "fwsplice: %s: %s\n", path, reason);
}

void report_unreadable(const input_role& role, const char* path, const char* reason) noexcept
{
    std::printf("Unable to read %s binary file %s\n", role.name, path);
    report_reason(path, reason);
}

constexpr const char* not_regular = "not a regular file";

/// The merge takes any bytes, but a file that a programmer would read as records and addresses
/// (as builds often ship a bootloader) makes an image that cannot boot: worth a warning.
void warn_of_format(const char* path, input_format format) noexcept
{
    if (format == input_format::raw) {
        return;
    }
    std::fflush(stdout);
    std::fprintf(stderr,
                 "fwsplice: warning: %s is %s, not a raw image: its bytes are merged as they are "
                 "(fwsplice-image reads it as it is)\n",
                 path, format_title(format));
}

/// Opens and measures one input and prints its "Opened" line, or prints its one failure
/// message and returns no stream.
file_handle open_input(const input_role& role, const char* path, std::int32_t& size) noexcept
{
    input_open opening = input_open::not_opened;
    file_handle file = open_regular_file(path, opening);
    if (opening == input_open::not_regular) {
        report_unreadable(role, path, not_regular);
        return nullptr;
    }
    if (!file) {
        const char* const reason = std::strerror(errno);
        std::printf("Unable to open %s binary file %s\n", role.name, path);
        report_reason(path, reason);
        return nullptr;
    }
    // Unbuffered, so that measuring reads nothing and the one fread is one read from the file;
    // should the library refuse, the stream stays buffered and works the same.
    static_cast<void>(std::setvbuf(file.get(), nullptr, _IONBF, 0));
    const std::int64_t measured = measure(file.get());
    input_format format = input_format::raw;
    if (measured < 0 || !peek_format(file.get(), format)) {
        report_unreadable(role, path, std::strerror(errno));
        return nullptr;
    }
    if (measured > role.max_size) {
        std::printf("%s binary file %s is too large\n", role.title, path);
        report_reason(path, std::strerror(EFBIG));
        return nullptr;
    }
    size = static_cast<std::int32_t>(measured);
    std::printf("Opened %s file %s : size is %d\n", role.name, path, size);
    warn_of_format(path, format);
    return file;
}

/// The cut of a long bootloader stays silent on standard output, but bytes other than erased
/// flash past its region are worth a warning: a sketch given as the bootloader looks so.
void warn_of_dropped_data(std::FILE* bootloader, const char* path, std::int32_t size) noexcept
{
    if (scan_bootloader_tail(bootloader, sketch_offset).first_data >= 0) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "fwsplice: warning: %s: %d bytes past offset %d dropped, not all 0xFF\n", path,
                     size - sketch_offset, sketch_offset);
    }
}

/// Prints the line for a failed write of the output: whether nothing was opened for the image
/// yet, or writing it failed after that.
void report_unwritten(write_step failed, const char* path) noexcept
{
    switch (failed) {
    case write_step::find:
    case write_step::create:
    case write_step::open_in_place:
        std::printf("Unable to open output file %s for writing \n", path);
        break;
    default:
        std::printf("Unable to write output file %s\n", path);
        break;
    }
}

}  // namespace

int merge_command(int argc, char** argv) noexcept
{
    prepare_process();
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
    const image_buffer image = allocate_image(image_size);
    if (!image) {
        std::puts("Unable to open allocate memory");
        std::fflush(stdout);
        std::fprintf(stderr, "fwsplice: %s\n", std::strerror(ENOMEM));
        return status_no_memory;
    }
    std::printf("Allocated %d bytes for buffer\n", layout.total_size);

    std::fill_n(image.get() + layout.bootloader_bytes, layout.gap_bytes, gap_value);
    const bool whole_bootloader = layout.bootloader_bytes == bootloader_size;
    if (const char* const reason =
            read_input(bootloader.get(), image.get(),
                       static_cast<std::size_t>(layout.bootloader_bytes), whole_bootloader)) {
        report_unreadable(bootloader_role, bootloader_path, reason);
        return status_file_failed;
    }
    if (!whole_bootloader) {
        warn_of_dropped_data(bootloader.get(), bootloader_path, bootloader_size);
    }
    const input_views inputs{input_view{identify(bootloader.get()), bootloader_size, image.get(),
                                        static_cast<std::size_t>(layout.bootloader_bytes)},
                             input_view{identify(sketch.get()), sketch_size,
                                        image.get() + sketch_offset,
                                        static_cast<std::size_t>(layout.sketch_bytes)}};
    bootloader.reset();

    // The sketch is not read here: where the system can, it is copied into the output by the
    // kernel, and only otherwise read into its place in the buffer.
    image_source source{image.get(), static_cast<std::size_t>(sketch_offset), std::move(sketch),
                        static_cast<std::size_t>(layout.sketch_bytes)};
    const write_result written = write_whole_file(output_path, source, inputs);
    if (written.failed == write_step::read_tail) {
        report_unreadable(sketch_role, sketch_path, written.reason);
        return status_file_failed;
    }
    if (written.failed != write_step::none) {
        report_unwritten(written.failed, output_path);
        report_reason(output_path, written.reason);
        return status_file_failed;
    }
    std::printf("Wrote combined file to %s \n", output_path);
    return status_merged;
}

}  // namespace fwsplice
