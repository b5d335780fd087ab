#include "whole_file.hpp"

#include "file_handle.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#if defined(_WIN32)
#include <windows.h>

#include <atomic>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/random.h>
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#endif

namespace fwsplice {
namespace {

/// Removes a regular file that a failed write left partial, so that no torn image can be
/// flashed. A device such as /dev/full, or a link, stays.
void remove_if_regular(const char* path) noexcept;

/// Writes through the path itself, truncating what is there: only where no temporary file
/// can stand in for the output.
write_outcome write_in_place(const char* path, const unsigned char* bytes,
                             std::size_t size) noexcept
{
    file_handle file{std::fopen(path, "wb")};
    if (!file) {
        return write_outcome::not_opened;
    }
    const bool written = std::fwrite(bytes, 1, size, file.get()) == size;
    if (std::fclose(file.release()) == 0 && written) {
        return write_outcome::written;
    }
    remove_if_regular(path);
    return write_outcome::not_written;
}

/// The fallback once a complete temporary file could not be renamed over the output: the
/// output is written in place after all, and failing to open it now counts as a failed write.
write_outcome write_in_place_after_rename(const char* path, const unsigned char* bytes,
                                          std::size_t size) noexcept
{
    const write_outcome outcome = write_in_place(path, bytes, size);
    return outcome == write_outcome::not_opened ? write_outcome::not_written : outcome;
}

/// The temporary file's name while it exists, for the interruption handler, which may not
/// allocate. There is one temporary file at a time.
std::array<char, 4096> temporary_name{};

/// Makes the temporary file's name from the output's: "<name>.fwsplice-" and six characters,
/// so that a leftover (after SIGKILL or a power cut) can be told by its name. False where
/// the name does not fit.
bool name_temporary_file(const std::string& target, const char* six_characters) noexcept
{
    static constexpr std::string_view suffix = ".fwsplice-";
    if (target.size() + suffix.size() + 6 >= temporary_name.size()) {
        return false;
    }
    char* end = std::copy(target.begin(), target.end(), temporary_name.begin());
    end = std::copy(suffix.begin(), suffix.end(), end);
    end = std::copy_n(six_characters, 6, end);
    *end = '\0';
    return true;
}

#if defined(_WIN32)

void remove_if_regular(const char* path) noexcept
{
    const DWORD attributes = GetFileAttributesA(path);
    constexpr DWORD not_regular =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & not_regular) == 0) {
        DeleteFileA(path);
    }
}

/// Set while the temporary file exists; the console handler runs on a thread of its own.
std::atomic<bool> temporary_exists{false};

/// Ctrl-C, Ctrl-Break or a closed console: marks the temporary file for deletion (it goes
/// when the process's handle closes) and lets the default handler end the process.
BOOL WINAPI remove_temporary_file(DWORD /*event*/)
{
    if (temporary_exists.load()) {
        DeleteFileA(temporary_name.data());
    }
    return FALSE;
}

/// A new temporary file beside the target, removed unless it has been renamed over it.
class temporary_file {
public:
    explicit temporary_file(const std::string& target) noexcept : target_(target)
    {
        SetConsoleCtrlHandler(remove_temporary_file, TRUE);
        const unsigned long seed = GetCurrentProcessId() * 2654435761UL + GetTickCount();
        for (unsigned long attempt = 0; attempt < 100; ++attempt) {
            std::array<char, 7> six{};
            std::snprintf(six.data(), six.size(), "%06lx", (seed + attempt * 7919UL) & 0xFFFFFFUL);
            if (!name_temporary_file(target_, six.data())) {
                return;
            }
            // Shared for deletion, so that the console handler can remove it while it is open.
            handle_ = CreateFileA(temporary_name.data(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle_ != INVALID_HANDLE_VALUE) {
                temporary_exists.store(true);
                return;
            }
            if (GetLastError() != ERROR_FILE_EXISTS) {
                return;
            }
        }
    }
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    ~temporary_file()
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
        if (temporary_exists.exchange(false)) {
            DeleteFileA(temporary_name.data());
        }
    }

    [[nodiscard]] bool opened() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

    bool write(const unsigned char* bytes, std::size_t size) const noexcept
    {
        while (size > 0) {
            const DWORD chunk = size < (DWORD{1} << 30) ? static_cast<DWORD>(size) : DWORD{1} << 30;
            DWORD written = 0;
            if (!WriteFile(handle_, bytes, chunk, &written, nullptr) || written == 0) {
                return false;
            }
            bytes += written;
            size -= written;
        }
        return true;
    }

    bool close() noexcept
    {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return CloseHandle(handle) != 0;
    }

    /// Replaces the target. An indexer or a virus scanner may hold the target open for a
    /// moment, so a sharing violation is tried again for about a second.
    bool rename_over() noexcept
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (MoveFileExA(temporary_name.data(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
                temporary_exists.store(false);
                return true;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) {
                return false;
            }
            Sleep(50);
        }
        return false;
    }

private:
    const std::string& target_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

/// Where a rename can replace the output: a file on disk that is not read-only, not a
/// directory and not a link, or a name that holds nothing yet.
struct replace_target {
    bool possible;
    bool writable;
    std::string name;
};

replace_target find_replace_target(const char* path)
{
    replace_target target{false, true, path};
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        target.possible = GetLastError() == ERROR_FILE_NOT_FOUND;
        return target;
    }
    target.writable = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
    if ((attributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return target;
    }
    // Device names such as NUL or CON answer to attribute queries too; only a disk file will do.
    const HANDLE existing =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing != INVALID_HANDLE_VALUE) {
        target.possible = GetFileType(existing) == FILE_TYPE_DISK;
        CloseHandle(existing);
    }
    return target;
}

/// The new file takes the access rules that its directory passes on to new files; an access
/// list set on the old file by hand is not carried over.
bool take_attributes(const temporary_file& /*temporary*/, const replace_target& /*target*/) noexcept
{
    return true;
}

#else

void remove_if_regular(const char* path) noexcept
{
    struct stat info {};
    if (lstat(path, &info) == 0 && S_ISREG(info.st_mode)) {
        unlink(path);
    }
}

constexpr std::array<int, 3> interrupting_signals{SIGINT, SIGTERM, SIGHUP};

/// Removes the temporary file; the handler was reset on entry (SA_RESETHAND), so the signal,
/// raised again, ends the process once this returns, as it would have ended it anyway.
extern "C" void remove_temporary_file(int signal_number)
{
    if (temporary_name[0] != '\0') {
        unlink(temporary_name.data());
    }
    raise(signal_number);
}

/// Removes the temporary file on an interruption. A signal that the caller ignores (nohup,
/// a shell's background job) stays ignored.
void handle_interruptions() noexcept
{
    for (const int signal_number : interrupting_signals) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction removing {};
        removing.sa_handler = remove_temporary_file;
        sigemptyset(&removing.sa_mask);
        removing.sa_flags = static_cast<int>(SA_RESETHAND);
        static_cast<void>(sigaction(signal_number, &removing, nullptr));
    }
}

/// Holds the interrupting signals back while the temporary file and its recorded name change
/// together, so that the handler never sees one without the other.
class interruptions_held {
public:
    interruptions_held() noexcept
    {
        sigset_t held{};
        sigemptyset(&held);
        for (const int signal_number : interrupting_signals) {
            sigaddset(&held, signal_number);
        }
        sigprocmask(SIG_BLOCK, &held, &previous_);
    }
    interruptions_held(const interruptions_held&) = delete;
    interruptions_held& operator=(const interruptions_held&) = delete;
    ~interruptions_held() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_{};
};

#if defined(__linux__)
/// Six characters for a temporary file's name that another process cannot guess.
std::array<char, 7> random_characters() noexcept
{
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::array<unsigned char, 6> noise{};
    if (getrandom(noise.data(), noise.size(), GRND_NONBLOCK) !=
        static_cast<ssize_t>(noise.size())) {
        // No entropy this early in boot: the clock will do, since a link never replaces a file.
        const auto now =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        std::memcpy(noise.data(), &now, noise.size());
    }
    std::array<char, 7> characters{};
    std::transform(noise.begin(), noise.end(), characters.begin(),
                   [](unsigned char value) { return alphabet[value % alphabet.size()]; });
    return characters;
}
#endif

/// A new temporary file beside the target, removed unless it has been renamed over it. Where
/// the file system allows, it starts with no name (O_TMPFILE) and takes its temporary name only
/// once complete, so that a SIGKILL or a power cut mid-write leaves nothing behind.
class temporary_file {
public:
    explicit temporary_file(const std::string& target) noexcept : target_(target)
    {
        handle_interruptions();
        if (open_unnamed()) {
            return;
        }
        const interruptions_held held;
        if (name_temporary_file(target_, "XXXXXX")) {
            descriptor_ = mkstemp(temporary_name.data());
        }
        if (descriptor_ < 0) {
            temporary_name[0] = '\0';
        }
    }
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    ~temporary_file()
    {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        const interruptions_held held;
        if (temporary_name[0] != '\0') {
            unlink(temporary_name.data());
            temporary_name[0] = '\0';
        }
    }

    [[nodiscard]] bool opened() const noexcept { return descriptor_ >= 0; }
    [[nodiscard]] int descriptor() const noexcept { return descriptor_; }

    bool write(const unsigned char* bytes, std::size_t size) const noexcept
    {
        while (size > 0) {
            const ssize_t written = ::write(descriptor_, bytes, size);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return false;
            }
            bytes += written;
            size -= static_cast<std::size_t>(written);
        }
        return true;
    }

    /// Names the file if it has no name yet, and closes it.
    bool close() noexcept
    {
        const bool named = !unnamed_ || link_in();
        const int open_descriptor = descriptor_;
        descriptor_ = -1;
        return ::close(open_descriptor) == 0 && named;
    }

    bool rename_over() noexcept
    {
        const interruptions_held held;
        if (std::rename(temporary_name.data(), target_.c_str()) != 0) {
            return false;
        }
        temporary_name[0] = '\0';
        return true;
    }

private:
    /// Opens an unnamed file in the target's directory. Linking it in goes through
    /// /proc/self/fd, so without /proc the file is named from the start.
    bool open_unnamed() noexcept
    {
#if defined(__linux__) && defined(O_TMPFILE)
        std::array<char, 4096> directory{'.'};
        const std::size_t slash = target_.rfind('/');
        if (access("/proc/self/fd", X_OK) != 0 ||
            (slash != std::string::npos && slash + 1 >= directory.size())) {
            return false;
        }
        if (slash != std::string::npos) {
            std::copy_n(target_.begin(), slash + 1, directory.begin());
        }
        descriptor_ = open(directory.data(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        unnamed_ = descriptor_ >= 0;
#endif
        return unnamed_;
    }

    /// Gives the complete unnamed file its temporary name, beside the target.
    bool link_in() noexcept
    {
#if defined(__linux__)
        std::array<char, 32> self{};
        std::snprintf(self.data(), self.size(), "/proc/self/fd/%d", descriptor_);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const interruptions_held held;
            if (!name_temporary_file(target_, random_characters().data())) {
                return false;
            }
            if (linkat(AT_FDCWD, self.data(), AT_FDCWD, temporary_name.data(), AT_SYMLINK_FOLLOW) ==
                0) {
                return true;
            }
            const int error = errno;
            temporary_name[0] = '\0';
            if (error != EEXIST) {
                return false;
            }
        }
#endif
        return false;
    }

    const std::string& target_;
    int descriptor_ = -1;
    bool unnamed_ = false;
};

/// True for a link that the kernel makes up rather than stores, such as /proc/self/fd/1 behind
/// /dev/stdout: its text may name a file, but the caller wants the open file behind it written.
bool is_made_up_link(const std::string& directory) noexcept
{
#if defined(__linux__)
    struct statfs file_system {};
    constexpr long proc_magic = 0x9fa0;  // PROC_SUPER_MAGIC
    return statfs(directory.empty() ? "." : directory.c_str(), &file_system) == 0 &&
           static_cast<long>(file_system.f_type) == proc_magic;
#else
    static_cast<void>(directory);
    return false;
#endif
}

/// The name that path finally leads to through symbolic links; for a dangling link, the name
/// it holds. Empty where the road passes a made-up link. After 40 links, as the kernel, it
/// gives up; the checks that follow then fail.
std::string final_name(std::string name)
{
    for (int links = 0; links < 40; ++links) {
        struct stat info {};
        if (lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            break;
        }
        const std::size_t slash = name.rfind('/');
        const std::string directory = slash == std::string::npos ? "" : name.substr(0, slash + 1);
        std::array<char, 4096> text{};
        const ssize_t length = readlink(name.c_str(), text.data(), text.size());
        if (is_made_up_link(directory) || length <= 0 ||
            static_cast<std::size_t>(length) == text.size()) {
            return {};
        }
        const std::string link(text.data(), static_cast<std::size_t>(length));
        name = link.front() == '/' ? link : directory + link;
    }
    return name;
}

/// Where a rename can replace the output: the regular file that path leads to through plain
/// links, or the name a missing file or a dangling link would take.
struct replace_target {
    bool possible;
    bool exists;
    bool writable;
    std::string name;
    struct stat old;
};

replace_target find_replace_target(const char* path)
{
    replace_target target{false, false, true, final_name(path), {}};
    if (target.name.empty()) {
        return target;
    }
    const bool followed = stat(path, &target.old) == 0;
    const int follow_error = errno;
    struct stat named {};
    const bool named_exists = lstat(target.name.c_str(), &named) == 0;
    if (!followed) {
        target.possible = follow_error == ENOENT && !named_exists;
        return target;
    }
    target.exists = true;
    target.writable = faccessat(AT_FDCWD, target.name.c_str(), W_OK, AT_EACCESS) == 0;
    // /dev/stdout and /dev/fd/N lead through links whose text names no file of theirs: the
    // file found under that text is then not the one behind the path, and is left alone.
    target.possible = S_ISREG(target.old.st_mode) && named_exists &&
                      named.st_dev == target.old.st_dev && named.st_ino == target.old.st_ino;
    return target;
}

/// Gives the temporary file the old output's owner, group and permission bits, or for a new
/// output the bits that creating it would have given: 0666 less the umask.
bool take_attributes(const temporary_file& temporary, const replace_target& target) noexcept
{
    const int descriptor = temporary.descriptor();
    if (!target.exists) {
        const mode_t mask = umask(0);
        umask(mask);
        return fchmod(descriptor, 0666 & ~mask) == 0;
    }
    // Only root may give a file away, and only a member may keep a file's group; where that
    // is refused the file simply becomes this user's, as it would by any other rewrite.
    if (fchown(descriptor, target.old.st_uid, target.old.st_gid) != 0) {
        static_cast<void>(fchown(descriptor, static_cast<uid_t>(-1), target.old.st_gid));
    }
    return fchmod(descriptor, target.old.st_mode & 07777) == 0;
}

#endif

}  // namespace

void treat_write_signals_as_errors() noexcept
{
#if !defined(_WIN32)
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
#endif
}

write_outcome write_whole_file(const char* path, const unsigned char* bytes,
                               std::size_t size) noexcept
{
    try {
        const replace_target target = find_replace_target(path);
        if (!target.possible) {
            return write_in_place(path, bytes, size);
        }
        // A read-only output stays read-only, although a rename could replace it.
        if (!target.writable) {
            return write_outcome::not_opened;
        }
        temporary_file temporary{target.name};
        if (!temporary.opened()) {
            return write_in_place(target.name.c_str(), bytes, size);
        }
        if (!take_attributes(temporary, target) || !temporary.write(bytes, size) ||
            !temporary.close()) {
            return write_outcome::not_written;
        }
        if (!temporary.rename_over()) {
            return write_in_place_after_rename(target.name.c_str(), bytes, size);
        }
        return write_outcome::written;
    } catch (const std::exception&) {  // no memory for a name; nothing has been opened yet
        return write_outcome::not_opened;
    }
}

}  // namespace fwsplice
