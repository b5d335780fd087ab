// Writing a file whole: the order of the steps, and the one table that decides what a failed
// step of the replacement leads to.
//
// The life of an image on its way to the output. find follows the path one link at a time, as
// the kernel would, and holds the directory of the final name and any old file there. Then:
//
// - Replacement, for a regular file or a name that holds nothing yet. create makes a
//   temporary file beside the output: unnamed (O_TMPFILE) where the file system allows, else
//   named .NAME.fwsplice-XXXXXX and registered to be removed by a signal that ends the run.
//   fill writes the bootloader region from the buffer; copy_tail has the kernel copy the
//   sketch after it, sharing blocks where the file system can. take_access gives it the old
//   file's owner, ACL and mode, read from the held file after the bytes. fill then names it
//   where it had no name and closes it, and rename puts it over the output in one step. Until
//   then the output is as it was, and a failure removes the temporary file.
// - Through the buffer: where the kernel cannot copy the sketch, or stops short, read_tail
//   reads the rest into its place in the buffer and fill writes it, from where the copy ended.
// - In place, where the place allows nothing else: a device, a FIFO, what /dev/stdout leads
//   to, a file in an append-only directory; or a replacement that the place refused. clean_up
//   first removes the temporary file (one that cannot go keeps the old output), then
//   open_in_place opens the output itself, refusing an input or standard output's own file,
//   and write_in_place writes it whole, or removes or empties it, never leaving it torn.
//
// Which road a failure leads to is the table below, read with the cause that the classifier
// (failure_posix.cpp, failure_windows.cpp) gives the step's error: create, take_access or
// rename denied or refused by the place leads in place; copy_tail refused by the place goes
// through the buffer; anything else, above all a shortage, keeps the old output.
#include "whole_file.hpp"

#include "output_steps.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <exception>

namespace fwsplice {
namespace {

/// What follows a failed step of the replacement.
enum class then {
    keep_old,       ///< fail, leaving the output as it was
    in_place,       ///< write the output itself, once the temporary file is gone
    through_buffer  ///< go on from where the kernel's copy stopped, reading into the buffer
};

struct rule {
    write_step step;
    failure_cause cause;
    then action;
};

/// Only the nature of the place leads to writing in place. Anything not listed keeps the old
/// output: above all a shortage, after which writing in place would destroy the output, or an
/// input it names.
constexpr std::array<rule, 7> policy{{
    // A directory that takes no new file: read-only, immutable, not this user's to write, or
    // read-only around a file bind-mounted on its own.
    {write_step::create, failure_cause::denied, then::in_place},
    {write_step::create, failure_cause::place_refuses, then::in_place},
    // A mode or an ACL that the file system, or a user namespace, will not set.
    {write_step::take_access, failure_cause::denied, then::in_place},
    {write_step::take_access, failure_cause::place_refuses, then::in_place},
    // Another user's file in a sticky directory; another file system; a mount point.
    {write_step::rename, failure_cause::denied, then::in_place},
    {write_step::rename, failure_cause::place_refuses, then::in_place},
    // The kernel cannot copy between these files (another file system, no support), or
    // stopped short: the bytes go the long way, and a sketch that shrank shows there.
    {write_step::copy_tail, failure_cause::place_refuses, then::through_buffer},
}};

then after(write_step failed, failure_cause cause) noexcept
{
    for (const rule& listed : policy) {
        // cppcheck-suppress useStlAlgorithm
        if (listed.step == failed && listed.cause == cause) {
            return listed.action;
        }
    }
    return then::keep_old;
}

/// A step that failed, and why.
struct step_failure {
    write_step step = write_step::none;
    failure reason;
};

write_result failed(write_step step, const failure& reason) noexcept
{
    return {step, describe(reason)};
}

/// Reads the tail into its place in the buffer from `from` on, and checks that it ends where
/// it measured.
failure read_tail(const image_source& image, std::size_t from) noexcept
{
    if (!seek_input(image.tail.get(), static_cast<std::int64_t>(from))) {
        return system_error(errno);
    }
    const char* const reason = read_input(image.tail.get(), image.bytes + image.ready + from,
                                          image.tail_size - from, true);
    return reason == nullptr ? failure{} : refusal(failure_cause::other, reason);
}

/// The tail, copied by the kernel where it can; the rest read and written as it always was.
/// Once the buffer holds the whole tail its file is closed, so that a platform that cannot
/// replace an open file can replace the sketch itself.
step_failure fill_tail(const temporary_file& temporary, image_source& image)
{
    if (!image.tail) {  // the whole image is in the buffer, as a HEX copy is
        return {};
    }
    std::size_t copied = 0;
    const failure copying = temporary.copy(image.tail.get(), image.tail_size, copied);
    if (copying && after(write_step::copy_tail, cause_of(write_step::copy_tail, copying)) !=
                       then::through_buffer) {
        return {write_step::copy_tail, copying};
    }
    if (const failure reading = read_tail(image, copied)) {
        return {write_step::read_tail, reading};
    }
    if (copied == 0) {
        image.tail.reset();
    }
    const unsigned char* const rest = image.bytes + image.ready + copied;
    if (const failure writing = temporary.write(rest, image.tail_size - copied)) {
        return {write_step::fill, writing};
    }
    return {};
}

/// A complete temporary file, renamed over the output.
step_failure replace(temporary_file& temporary, const output_target& target, image_source& image)
{
    if (const failure creating = temporary.create(target)) {
        return {write_step::create, creating};
    }
    if (const failure writing = temporary.write(image.bytes, image.ready)) {
        return {write_step::fill, writing};
    }
    if (const step_failure filling = fill_tail(temporary, image); filling.reason) {
        return filling;
    }
    if (const failure giving = temporary.take_access(target)) {
        return {write_step::take_access, giving};
    }
    if (const failure closing = temporary.close(target)) {
        return {write_step::fill, closing};
    }
    if (const failure renaming = temporary.rename_over(target)) {
        return {write_step::rename, renaming};
    }
    return {};
}

/// Writes through the output itself. Refused before a byte is written where standard output
/// goes to the same open file, since the progress lines would land inside the image, and
/// where the output is an input, which it would destroy.
write_result write_in_place(const output_target& target, image_source& image,
                            const input_views& inputs)
{
    if (image.tail) {
        if (const failure reading = read_tail(image, 0)) {
            return failed(write_step::read_tail, reading);
        }
        image.tail.reset();
    }
    in_place_file file;
    if (const failure opening = file.open(target)) {
        return failed(write_step::open_in_place, opening);
    }
    if (file.is_standard_output()) {
        return failed(write_step::open_in_place,
                      refusal(failure_cause::refused,
                              "standard output goes to the same file, and would mix with it"));
    }
    if (file.is_one_of(target, inputs)) {
        return failed(write_step::open_in_place,
                      refusal(failure_cause::refused,
                              "it is an input, which only a replacement could write"));
    }
    if (const failure writing = file.write(image.bytes, image.ready + image.tail_size)) {
        file.discard(target);
        return failed(write_step::write_in_place, writing);
    }
    return {};
}

}  // namespace

write_result write_whole_file(const char* path, image_source& image,
                              const input_views& inputs) noexcept
{
    try {
        output_target target;
        if (const failure finding = find_output(path, target)) {
            return failed(write_step::find, finding);
        }
        if (!target.replaceable) {
            return write_in_place(target, image, inputs);
        }
        temporary_file temporary;
        const step_failure replacing = replace(temporary, target, image);
        if (!replacing.reason) {
            return {};
        }
        if (after(replacing.step, cause_of(replacing.step, replacing.reason)) == then::keep_old) {
            return failed(replacing.step, replacing.reason);
        }
        // The copy goes first, so that its space is free; one that cannot be removed keeps
        // the old output as it is.
        if (const failure removing = temporary.remove()) {
            return failed(write_step::clean_up, removing);
        }
        return write_in_place(target, image, inputs);
    } catch (const std::exception&) {  // no memory for a name
        return failed(write_step::find, system_error(ENOMEM));
    }
}

const char* remove_whole_file(const char* path, const kept_files& kept) noexcept
{
    try {
        output_target target;
        failure removing = find_output(path, target);
        const file_identity found = identify_output(target);
        const bool is_kept =
            std::any_of(kept.begin(), kept.end(),
                        [&found](const file_identity& file) { return same_file(found, file); });
        if (!removing && is_kept) {
            return "it is an input";
        }
        if (!removing && target.exists && target.replaceable) {
            removing = remove_output(target);
        }
        const bool gone = cause_of(write_step::clean_up, removing) == failure_cause::missing;
        return removing && !gone ? describe(removing) : nullptr;
    } catch (const std::exception&) {
        return describe(system_error(ENOMEM));
    }
}

}  // namespace fwsplice
