// The road every platform shares: the order of the steps, and when writing in place may
// stand in for a replacement. The primitives are in output_file_<platform>.cpp.
#include "whole_file.hpp"

#include "output_file.hpp"

#include <cerrno>
#include <exception>

namespace fwsplice {
namespace {

write_result failed(write_outcome outcome, const failure& reason) noexcept
{
    return {outcome, describe(reason)};
}

/// Writes through the output itself. Refused before a byte is written where standard output
/// goes to the same open file, since the progress lines would land inside the image, and
/// where the output is an input, which it would destroy.
write_result write_in_place(const output_target& target, const unsigned char* bytes,
                            std::size_t size, const input_identities& inputs,
                            write_outcome when_unopened) noexcept
{
    in_place_file file;
    if (const failure opening = file.open(target)) {
        return failed(when_unopened, opening);
    }
    if (file.is_standard_output()) {
        return failed(write_outcome::not_opened,
                      refusal("standard output goes to the same file, and would mix with it"));
    }
    if (file.is_one_of(inputs)) {
        return failed(write_outcome::not_opened,
                      refusal("it is an input, which only a replacement could write"));
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

/// After the replacement was refused: in place where the place allows it, once the copy is
/// gone, so that its space is free; a copy that cannot be removed keeps the old output as it is.
write_result in_place_instead(temporary_file& temporary, const failure& refused,
                              const output_target& target, const unsigned char* bytes,
                              std::size_t size, const input_identities& inputs,
                              write_outcome when_unopened) noexcept
{
    if (!in_place_allowed(refused)) {
        return failed(write_outcome::not_written, refused);
    }
    if (const failure removing = temporary.remove()) {
        return failed(write_outcome::not_written, removing);
    }
    return write_in_place(target, bytes, size, inputs, when_unopened);
}

}  // namespace

write_result write_whole_file(const char* path, const unsigned char* bytes, std::size_t size,
                              const input_identities& inputs) noexcept
{
    try {
        output_target target;
        if (const failure finding = find_output(path, target)) {
            return failed(write_outcome::not_opened, finding);
        }
        if (!target.replaceable) {
            return write_in_place(target, bytes, size, inputs, write_outcome::not_opened);
        }
        temporary_file temporary;
        if (const failure creating = temporary.create(target)) {
            if (in_place_allowed(creating)) {
                return write_in_place(target, bytes, size, inputs, write_outcome::not_opened);
            }
            return failed(write_outcome::not_opened, creating);
        }
        // A refusal before the rename has left the output untouched.
        failure filling = temporary.take_attributes(target);
        if (!filling) {
            filling = temporary.write(target, bytes, size);
        }
        if (filling) {
            return in_place_instead(temporary, filling, target, bytes, size, inputs,
                                    write_outcome::not_opened);
        }
        if (const failure renaming = temporary.rename_over(target)) {
            return in_place_instead(temporary, renaming, target, bytes, size, inputs,
                                    write_outcome::not_written);
        }
        return {write_outcome::written, nullptr};
    } catch (const std::exception&) {  // no memory for a name
        return failed(write_outcome::not_opened, system_failure(ENOMEM));
    }
}

}  // namespace fwsplice
