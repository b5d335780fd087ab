// The road every platform shares: the order of the steps, and when writing in place may
// stand in for a replacement. The primitives are in output_file_<platform>.cpp.
#include "whole_file.hpp"

#include "output_file.hpp"

#include <cerrno>
#include <csignal>
#include <exception>

namespace fwsplice {
namespace {

write_result failed(write_outcome outcome, const failure& reason) noexcept
{
    return {outcome, describe(reason)};
}

/// Writes through the output itself. Refused before a byte is written where standard output
/// goes to the same open file, since the progress lines would land inside the image.
write_result write_in_place(const output_target& target, const unsigned char* bytes,
                            std::size_t size, write_outcome when_unopened) noexcept
{
    in_place_file file;
    if (const failure opening = file.open(target)) {
        return failed(when_unopened, opening);
    }
    if (file.is_standard_output()) {
        return failed(write_outcome::not_opened,
                      refusal("standard output goes to the same file, and would mix with it"));
    }
    if (const failure writing = file.write(bytes, size)) {
        file.discard(target);
        return failed(write_outcome::not_written, writing);
    }
    return {write_outcome::written, nullptr};
}

/// Only a refusal by the nature of the place allows writing in place; a shortage never does,
/// since writing in place after one would destroy the output, or an input it names.
bool in_place_allowed(const failure& reason) noexcept
{
    return reason.kind == failure_kind::permission || reason.kind == failure_kind::place;
}

}  // namespace

failure refusal(const char* text) noexcept
{
    return {failure_kind::other, 0, text};
}

void treat_write_signals_as_errors() noexcept
{
#if !defined(_WIN32)
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
#endif
}

write_result write_whole_file(const char* path, const unsigned char* bytes,
                              std::size_t size) noexcept
{
    try {
        output_target target;
        if (const failure finding = target.find(path)) {
            return failed(write_outcome::not_opened, finding);
        }
        if (!target.replaceable()) {
            return write_in_place(target, bytes, size, write_outcome::not_opened);
        }
        temporary_file temporary;
        if (const failure creating = temporary.create(target)) {
            if (in_place_allowed(creating)) {
                return write_in_place(target, bytes, size, write_outcome::not_opened);
            }
            return failed(write_outcome::not_opened, creating);
        }
        if (const failure filling = temporary.fill(target, bytes, size)) {
            return failed(write_outcome::not_written, filling);
        }
        const failure renaming = temporary.rename_over(target);
        if (!renaming) {
            return {write_outcome::written, nullptr};
        }
        if (!in_place_allowed(renaming)) {
            return failed(write_outcome::not_written, renaming);
        }
        // The complete copy goes first, so that its space is free for the in-place write.
        temporary.remove();
        return write_in_place(target, bytes, size, write_outcome::not_written);
    } catch (const std::exception&) {  // no memory for a name
        return failed(write_outcome::not_opened, system_failure(ENOMEM));
    }
}

}  // namespace fwsplice
