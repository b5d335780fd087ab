// POSIX: removing the temporary file on every signal that would end the process, as git's
// sigchain does: the handler is installed once, removes the file, and raises the signal again.
#include "signal_cleanup_posix.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace fwsplice {

named_temporary recorded;

namespace {

/// Removes the temporary file; the handler was reset on entry (SA_RESETHAND), so the signal,
/// raised again, ends the process once this returns, as it would have ended it anyway.
extern "C" void remove_temporary_file(int signal_number)
{
    if (recorded.name[0] != '\0') {
        unlinkat(recorded.directory, recorded.name.data(), 0);
    }
    raise(signal_number);
}

/// True for a signal whose default action ends the process and that arrives from outside.
/// Faults (SIGSEGV and the like) are left alone: they say the process itself went wrong.
/// Signals that only the BSDs and macOS have, and that do not end a process there (SIGINFO is
/// Ctrl-T), are left alone too.
bool terminates(int signal_number) noexcept
{
    switch (signal_number) {
#if defined(SIGINFO) && SIGINFO != SIGPWR
    case SIGINFO:
#endif
#if defined(SIGTHR)
    case SIGTHR:
#endif
#if defined(SIGLIBRT)
    case SIGLIBRT:
#endif
#if !defined(__linux__)
    case SIGIO:
#endif
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
    case SIGTRAP:
    case SIGSYS:
        return false;
    default:
        return true;
    }
}

}  // namespace

void remove_on_signals() noexcept
{
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction current {};
        if (!terminates(signal_number) || sigaction(signal_number, nullptr, &current) != 0 ||
            current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction removing {};
        removing.sa_handler = remove_temporary_file;
        sigfillset(&removing.sa_mask);
        removing.sa_flags = static_cast<int>(SA_RESETHAND);
        static_cast<void>(sigaction(signal_number, &removing, nullptr));
    }
}

}  // namespace fwsplice
