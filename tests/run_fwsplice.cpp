#include "run_fwsplice.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

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

/// A seccomp filter that answers open(O_TMPFILE) with EOPNOTSUPP, as a file system without
/// unnamed files does; every other call goes through.
bool refuse_unnamed_files(const run_options& options)
{
    if (!options.no_unnamed_files) {
        return true;
    }
    constexpr auto tmpfile_bit = static_cast<unsigned>(O_TMPFILE & ~O_DIRECTORY);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, tmpfile_bit, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

bool drop_privileges(const run_options& options)
{
    if (!options.unprivileged || geteuid() != 0) {
        return true;
    }
    return setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0;
}

[[noreturn]] void exec_tool(const std::vector<std::string>& args, const run_options& options)
{
    const rlimit file_size{options.file_size, options.file_size};
    const rlimit address_space{options.address_space, options.address_space};
    reset_signals(options);
    alarm(120);  // A tool that hangs (say, on a FIFO) fails its test instead of stalling the suite.
    std::vector<char*> argv{const_cast<char*>(FWSPLICE_BINARY)};
    std::transform(args.begin(), args.end(), std::back_inserter(argv),
                   [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
    argv.push_back(nullptr);
    if (setrlimit(RLIMIT_FSIZE, &file_size) == 0 && setrlimit(RLIMIT_AS, &address_space) == 0 &&
        break_pipe(options.broken_pipe) && open_descriptor_3(options.descriptor_3) &&
        drop_privileges(options) && refuse_unnamed_files(options)) {
        execv(FWSPLICE_BINARY, argv.data());
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
    child_ = fork();
    if (child_ == 0) {
        dup2(fileno(out_.get()), STDOUT_FILENO);
        dup2(fileno(err_.get()), STDERR_FILENO);
        exec_tool(args, options);
    }
    if (child_ < 0) {
        throw std::runtime_error("could not start " FWSPLICE_BINARY);
    }
}

bool running_fwsplice::writing_in(const std::string& directory) const
{
    const std::string process = "/proc/" + std::to_string(child_);
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(process + "/fd", error)) {
        const std::string file = std::filesystem::read_symlink(item.path(), error).string();
        std::ifstream details(process + "/fdinfo/" + item.path().filename().string());
        std::string field;
        unsigned flags = 0;
        while (details >> field && field != "flags:") {
        }
        details >> std::oct >> flags;
        struct stat info {};
        if (file.rfind(directory + "/", 0) == 0 && (flags & O_ACCMODE) != O_RDONLY &&
            stat(item.path().c_str(), &info) == 0 && info.st_size > 0) {
            return true;
        }
    }
    return false;
}

run_result running_fwsplice::wait()
{
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
