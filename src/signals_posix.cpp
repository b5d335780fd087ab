// POSIX: the process's set-up, and the cleanup on every signal that would end it, as git's
// sigchain does: the handler is installed once, undoes what is registered, and raises the
// signal again.
#include "signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace fwsplice {
namespace {

// What the handler undoes; written with every signal held, read by the handler alone.
std::atomic<int> registered_directory{-1};
std::atomic<const char*> registered_name{nullptr};
std::atomic<int> registered_output{-1};
static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<const char*>::is_always_lock_free,
              "the handler reads them");

/// Removes the temporary file, or empties the output written in place; the handler was reset
/// on entry (SA_RESETHAND), so the signal, raised again, ends the process once this returns,
/// as it would have ended it anyway.
extern "C" void clean_up(int signal_number)
{
    const char* const name = registered_name.load();
    const int output = registered_output.load();
    if (name != nullptr) {
        unlinkat(registered_directory.load(), name, 0);
    } else if (output >= 0 && ftruncate(output, 0) != 0) {
        // Nothing more can be done for it: the run ends on the signal either way.
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

/// A closed standard descriptor would be taken by the next file opened, which the progress
/// lines would then be written into.
void open_standard_descriptors() noexcept
{
    for (;;) {
        const int descriptor = open("/dev/null", O_RDWR | O_NOCTTY);
        if (descriptor < 0) {
            return;
        }
        if (descriptor > STDERR_FILENO) {
            close(descriptor);
            return;
        }
    }
}

/// The handler goes on every terminating signal that the caller does not ignore (nohup, a
/// shell's background job); SIGPIPE and SIGXFSZ are ignored here first, so that a failed
/// write is an error that the tool checks.
void install_handlers() noexcept
{
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction current {};
        if (!terminates(signal_number) || sigaction(signal_number, nullptr, &current) != 0 ||
            current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction cleaning {};
        cleaning.sa_handler = clean_up;
        sigfillset(&cleaning.sa_mask);
        cleaning.sa_flags = static_cast<int>(SA_RESETHAND);
        static_cast<void>(sigaction(signal_number, &cleaning, nullptr));
    }
}

}  // namespace

void prepare_process() noexcept
{
    open_standard_descriptors();
    install_handlers();
}

void remove_on_signal(int directory, const char* name) noexcept
{
    registered_output.store(-1);
    registered_directory.store(directory);
    registered_name.store(name);
}

void empty_on_signal(int descriptor) noexcept
{
    registered_name.store(nullptr);
    registered_output.store(descriptor);
}

void forget_on_signal() noexcept
{
    registered_name.store(nullptr);
    registered_output.store(-1);
}

static_assert(sizeof(sigset_t) <= 128 && alignof(sigset_t) <= 8,
              "signals_held keeps a sigset_t in its storage");

signals_held::signals_held() noexcept
{
    sigset_t all{};
    sigset_t previous{};
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    std::memcpy(previous_.data(), &previous, sizeof previous);
}

signals_held::~signals_held()
{
    sigset_t previous{};
    std::memcpy(&previous, previous_.data(), sizeof previous);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace fwsplice
