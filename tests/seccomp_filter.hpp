#pragma once

// The tool's system calls refused or held with seccomp, for the faults and the moments that no
// file system gives on demand.
#include "run_fwsplice.hpp"

#include <sys/socket.h>

#include <array>

/// One byte and room for one descriptor, as a message on a Unix socket.
struct descriptor_message {
    descriptor_message()
    {
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
    }
    descriptor_message(const descriptor_message&) = delete;
    descriptor_message& operator=(const descriptor_message&) = delete;
    ~descriptor_message() = default;

    std::array<char, CMSG_SPACE(sizeof(int))> control{};
    char byte = 0;
    iovec data{&byte, 1};
    msghdr message{};
};

/// True when the options hold a call, so that the test needs the filter's listener.
bool listened(const run_options& options);

/// open(O_TMPFILE) answered with EOPNOTSUPP, as a file system without unnamed files does; and
/// fchmod() with the options' error.
bool refuse_calls(const run_options& options);

/// Holds the call that the options name (every close(), where they fail) until the test, which
/// gets the filter's listener through `channel`, lets go.
bool hold_call(const run_options& options, int channel);
