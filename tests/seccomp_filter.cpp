#include "seccomp_filter.hpp"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <iterator>

namespace {

/// A seccomp filter of one rule: `call`, where the low half of its argument `argument` passes
/// `test` (BPF_JSET: has one of the bits; BPF_JGT: is above; BPF_JEQ: equals) against `operand`,
/// gets `action`; every other call goes through. Returns the filter's listener for
/// SECCOMP_RET_USER_NOTIF, else 0, or -1 where it failed.
long add_filter(int call, unsigned argument, unsigned test, unsigned operand, unsigned action)
{
    const auto offset =
        static_cast<unsigned>(offsetof(seccomp_data, args) + std::size_t{argument} * 8);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(call), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset),
        BPF_JUMP(BPF_JMP | test | BPF_K, operand, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, action),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return -1;
    }
    const unsigned flags = action == SECCOMP_RET_USER_NOTIF ? SECCOMP_FILTER_FLAG_NEW_LISTENER : 0;
    return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &program);
}

}  // namespace

bool refuse_calls(const run_options& options)
{
    constexpr auto tmpfile_bit = static_cast<unsigned>(O_TMPFILE & ~O_DIRECTORY);
    const auto chmod_error = static_cast<unsigned>(options.refused_chmod);
    return (!options.no_unnamed_files || add_filter(__NR_openat, 2, BPF_JSET, tmpfile_bit,
                                                    SECCOMP_RET_ERRNO | EOPNOTSUPP) == 0) &&
           (chmod_error == 0 ||
            add_filter(__NR_fchmod, 0, BPF_JGT, 2, SECCOMP_RET_ERRNO | chmod_error) == 0);
}

bool listened(const run_options& options)
{
    return options.hold != held_call::none || options.failing_close;
}

bool hold_call(const run_options& options, int channel)
{
    if (!listened(options)) {
        return true;
    }
    const auto cwd = static_cast<unsigned>(AT_FDCWD);
    const long listener =
        options.failing_close ? add_filter(__NR_close, 0, BPF_JGT, 2, SECCOMP_RET_USER_NOTIF)
        : options.hold == held_call::first_write
            ? add_filter(__NR_write, 0, BPF_JGT, 2, SECCOMP_RET_USER_NOTIF)
        : options.hold == held_call::input_open
            ? add_filter(__NR_openat, 2, BPF_JSET, O_NONBLOCK, SECCOMP_RET_USER_NOTIF)
        : options.hold == held_call::truncation
            ? add_filter(__NR_ftruncate, 0, BPF_JGT, 2, SECCOMP_RET_USER_NOTIF)
        : options.hold == held_call::kernel_copy
            ? add_filter(__NR_copy_file_range, 0, BPF_JGT, 2, SECCOMP_RET_USER_NOTIF)
            : add_filter(__NR_newfstatat, 0, BPF_JEQ, cwd, SECCOMP_RET_USER_NOTIF);
    if (listener <= 0) {
        return false;
    }
    descriptor_message carrier;
    msghdr& message = carrier.message;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    const int descriptor = static_cast<int>(listener);
    std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
    // The listener closes at exec; closing it here could be held by its own filter.
    return sendmsg(channel, &message, 0) == 1;
}
