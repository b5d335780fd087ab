#pragma once

// POSIX: removing the temporary file on every signal that would end the process.

#include <array>
#include <climits>
#include <csignal>

namespace fwsplice {

/// The temporary file while it has a name, for the signal handler, which may not allocate.
/// There is one temporary file at a time; an empty name means none.
struct named_temporary {
    int directory = -1;
    std::array<char, NAME_MAX + 1> name{};
};
extern named_temporary recorded;

/// Installs the handler, once, on every terminating signal that the caller does not ignore
/// (nohup, a shell's background job, and this tool's own SIGPIPE and SIGXFSZ stay ignored).
void remove_on_signals() noexcept;

/// Holds every signal back while the temporary file and its recorded name change together,
/// so that the handler never sees one without the other.
class signals_held {
public:
    signals_held() noexcept
    {
        sigset_t all{};
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &previous_);
    }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
    ~signals_held() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_{};
};

}  // namespace fwsplice
