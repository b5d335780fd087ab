// Windows: the process's set-up, and the deletion of the temporary file when Ctrl-C,
// Ctrl-Break or a closed console ends the run.
#include "signals.hpp"

#include <windows.h>

#include <atomic>

namespace fwsplice {
namespace {

/// The temporary file's path while it exists; the console handler runs on a thread of its
/// own, and reads it alone.
std::atomic<const char*> registered_path{nullptr};

/// Deletes the temporary file (shared for deletion, it goes when the process's handle closes)
/// and lets the default handler end the process.
BOOL WINAPI clean_up(DWORD /*event*/)
{
    if (const char* const path = registered_path.load()) {
        DeleteFileA(path);
    }
    return FALSE;
}

}  // namespace

void prepare_process() noexcept
{
    static_cast<void>(SetConsoleCtrlHandler(clean_up, TRUE));
}

void remove_on_signal(int /*directory*/, const char* name) noexcept
{
    registered_path.store(name);
}

void empty_on_signal(int /*descriptor*/) noexcept {}

void forget_on_signal() noexcept
{
    registered_path.store(nullptr);
}

signals_held::signals_held() noexcept = default;

signals_held::~signals_held() = default;

}  // namespace fwsplice
