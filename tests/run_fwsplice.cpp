#include "run_fwsplice.hpp"

#include "seccomp_filter.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <stdexcept>

namespace {

/// Copies of the programs that any user can run, for runs as another user: the build tree may
/// sit where only its owner can enter (a 0700 home, a mktemp -d directory). Made and removed by
/// the test's own process, never by a child that execs, which would skip the removal.
class reachable_copies {
public:
    reachable_copies()
    {
        std::string directory =
            (std::filesystem::temp_directory_path() / "fwsplice-bin-XXXXXX").string();
        if (mkdtemp(directory.data()) == nullptr) {
            throw std::runtime_error("no directory for copies of the programs");
        }
        directory_ = directory;
        chmod(directory_.c_str(), 0755);
    }
    reachable_copies(const reachable_copies&) = delete;
    reachable_copies& operator=(const reachable_copies&) = delete;
    ~reachable_copies()
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    std::string of(const std::string& program) const
    {
        std::string copy = directory_ + "/" + std::filesystem::path(program).filename().string();
        if (!std::filesystem::exists(copy)) {
            std::filesystem::copy_file(program, copy);
            chmod(copy.c_str(), 0755);
        }
        return copy;
    }

private:
    std::string directory_;
};

std::string binary_for(const run_options& options)
{
    if (options.user == 0 || geteuid() != 0) {
        return options.program;
    }
    static const reachable_copies copies;
    return copies.of(options.program);
}

/// Every signal back to its default and none blocked, as a shell starts a command; the test
/// runner's own settings must not hide a signal that would kill the tool for a user.
void reset_signals(const run_options& options)
{
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        std::signal(signal_number, SIG_DFL);
    }
    if (options.ignore_sigxfsz) {
        std::signal(SIGXFSZ, SIG_IGN);
    }
    sigset_t none{};
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool break_pipe(int descriptor)
{
    int ends[2] = {-1, -1};
    if (descriptor < 0) {
        return true;
    }
    return pipe(ends) == 0 && close(ends[0]) == 0 && dup2(ends[1], descriptor) == descriptor;
}

bool open_descriptor_3(const std::string& file)
{
    if (file.empty()) {
        return true;
    }
    const int descriptor = open(file.c_str(), O_WRONLY);
    return descriptor >= 0 && dup2(descriptor, 3) == 3;
}

bool drop_privileges(const run_options& options)
{
    if (options.user == 0 || geteuid() != 0) {
        return true;
    }
    return setgroups(0, nullptr) == 0 && setgid(options.user) == 0 && setuid(options.user) == 0;
}

/// A user namespace that maps the caller's own user only: every other owner reads as the
/// overflow id, as in a rootless container.
bool enter_user_namespace(const run_options& options)
{
    if (!options.user_namespace) {
        return true;
    }
    const std::string map = std::to_string(geteuid()) + " " + std::to_string(geteuid()) + " 1";
    if (unshare(CLONE_NEWUSER) != 0) {
        return false;
    }
    const int file = open("/proc/self/uid_map", O_WRONLY);
    const bool mapped =
        file >= 0 && write(file, map.data(), map.size()) == static_cast<ssize_t>(map.size());
    return file >= 0 && close(file) == 0 && mapped;
}

/// A mount namespace of its own with /proc unmounted, as in a minimal container.
bool leave_proc(const run_options& options)
{
    return !options.no_proc || (unshare(CLONE_NEWNS) == 0 &&
                                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                                umount2("/proc", MNT_DETACH) == 0);
}

bool redirect_standard_output(const run_options& options)
{
    if (options.standard_output.empty()) {
        return true;
    }
    const int descriptor = open(options.standard_output.c_str(), O_WRONLY);
    return descriptor >= 0 && dup2(descriptor, STDOUT_FILENO) == STDOUT_FILENO &&
           close(descriptor) == 0;
}

bool close_standard_streams(const run_options& options)
{
    return !options.standard_streams_closed ||
           (close(STDIN_FILENO) == 0 && close(STDOUT_FILENO) == 0);
}

[[noreturn]] void exec_tool(const std::string& binary, const std::vector<std::string>& args,
                            const run_options& options, int channel)
{
    const rlimit file_size{options.file_size, options.file_size};
    const rlimit address_space{options.address_space, options.address_space};
    const rlimit no_core{0, 0};  // a SIGQUIT in a test leaves no core file
    reset_signals(options);
    alarm(120);  // A tool that hangs (say, on a FIFO) fails its test instead of stalling the suite.
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    std::transform(args.begin(), args.end(), std::back_inserter(argv),
                   [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
    argv.push_back(nullptr);
    if (setrlimit(RLIMIT_FSIZE, &file_size) == 0 && setrlimit(RLIMIT_AS, &address_space) == 0 &&
        setrlimit(RLIMIT_CORE, &no_core) == 0 && break_pipe(options.broken_pipe) &&
        open_descriptor_3(options.descriptor_3) && redirect_standard_output(options) &&
        leave_proc(options) && drop_privileges(options) && enter_user_namespace(options) &&
        refuse_calls(options) && hold_call(options, channel) && close_standard_streams(options)) {
        execv(binary.c_str(), argv.data());
    }
    _exit(127);
}

std::string contents(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

}  // namespace

// Scratch files rather than pipes: the tool's output is collected after it ends.
running_fwsplice::running_fwsplice(const std::vector<std::string>& args, const run_options& options)
    : out_{std::tmpfile()}, err_{std::tmpfile()}
{
    if (!out_ || !err_) {
        throw std::runtime_error("no scratch file for the tool's output");
    }
    int channel[2] = {-1, -1};
    failing_close_ = options.failing_close;
    if (listened(options) && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        throw std::runtime_error("no channel for the held call");
    }
    const std::string binary = binary_for(options);
    child_ = fork();
    if (child_ == 0) {
        dup2(fileno(out_.get()), STDOUT_FILENO);
        dup2(fileno(err_.get()), STDERR_FILENO);
        exec_tool(binary, args, options, channel[1]);
    }
    if (child_ < 0) {
        throw std::runtime_error("could not start " FWSPLICE_BINARY);
    }
    if (listened(options)) {
        close(channel[1]);
        descriptor_message carrier;
        msghdr& message = carrier.message;
        if (recvmsg(channel[0], &message, 0) == 1 && CMSG_FIRSTHDR(&message) != nullptr) {
            std::memcpy(&listener_, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof(int));
        }
        close(channel[0]);
    }
}

running_fwsplice::~running_fwsplice()
{
    if (listener_ >= 0) {
        close(listener_);
    }
}

run_result running_fwsplice::wait()
{
    if (listener_ >= 0) {
        answer_held_calls();
    }
    int wait_status = 0;
    if (waitpid(child_, &wait_status, 0) != child_) {
        throw std::runtime_error("could not wait for " FWSPLICE_BINARY);
    }
    const int status =
        WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return {status, contents(out_.get()), contents(err_.get())};
}

run_result run_fwsplice(const std::vector<std::string>& args, const run_options& options)
{
    return running_fwsplice(args, options).wait();
}
