#pragma once

// Each platform's set-up of the process, and what a signal that ends it must undo first. A
// temporary file, or an output being written in place, is registered here; this unit knows
// nothing else of them. Both platforms implement all of it; what one does not need does
// nothing there.

#include <array>

namespace fwsplice {

/// Sets the process up for a run, once, before anything is opened: descriptors 0 to 2 open
/// (on /dev/null where they were closed), so that no file of the tool's takes one of them;
/// the signals that end a process on a failed write (SIGPIPE, SIGXFSZ) turned into plain
/// write errors; and the cleanup on every signal that would end it otherwise (on Windows,
/// Ctrl-C, Ctrl-Break and a closed console).
void prepare_process() noexcept;

/// A temporary file to remove should a signal end the run: its name within the directory
/// held open as `directory` (POSIX), or its whole path where no directory is held (Windows,
/// which is given -1). The name is borrowed until forget_on_signal().
void remove_on_signal(int directory, const char* name) noexcept;

/// An output being written in place, to empty should a signal end the run, so that it is
/// whole or empty, never torn. Windows writes nothing in place that a signal could cut short
/// (its console handler runs on a thread of its own), and does nothing here.
void empty_on_signal(int descriptor) noexcept;

/// Nothing is left to undo.
void forget_on_signal() noexcept;

/// Holds every signal back while a file and its registration change together, so that the
/// handler never sees one without the other. Windows, whose handler reads one registration
/// atomically on a thread of its own, holds nothing back.
class signals_held {
public:
    signals_held() noexcept;
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
    ~signals_held();  // NOLINT(performance-trivially-destructible): POSIX restores the mask

private:
    /// The mask to restore, as the platform keeps it (a sigset_t on POSIX).
    alignas(8) std::array<unsigned char, 128> previous_{};
};

}  // namespace fwsplice
