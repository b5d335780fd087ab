#pragma once

// Each platform's set-up of the process, and what a signal that ends it must undo first. A
// temporary file, or an output being written in place, is registered here; this unit knows
// nothing else of them.

#if !defined(_WIN32)
#include <csignal>
#endif

namespace fwsplice {

/// Sets the process up for a run, once, before anything is opened: descriptors 0 to 2 open
/// (on /dev/null where they were closed), so that no file of the tool's takes one of them;
/// the signals that end a process on a failed write (SIGPIPE, SIGXFSZ) turned into plain
/// write errors; and the cleanup on every signal that would end it otherwise.
void prepare_process() noexcept;

#if defined(_WIN32)
/// A temporary file to delete should the console close or Ctrl-C end the run. The path is
/// borrowed until forget_on_signal().
void remove_on_signal(const char* path) noexcept;
#else
/// A temporary file, by its name in a directory, to remove should a signal end the run. The
/// name is borrowed until forget_on_signal().
void remove_on_signal(int directory, const char* name) noexcept;
/// An output being written in place, to empty should a signal end the run, so that it is
/// whole or empty, never torn.
void empty_on_signal(int descriptor) noexcept;

/// Holds every signal back while a file and its registration change together, so that the
/// handler never sees one without the other.
class signals_held {
public:
    signals_held() noexcept;
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
    ~signals_held();

private:
    sigset_t previous_{};
};
#endif
/// Nothing is left to undo.
void forget_on_signal() noexcept;

}  // namespace fwsplice
