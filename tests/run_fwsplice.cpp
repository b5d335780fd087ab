#include "run_fwsplice.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace {

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using scratch_file = std::unique_ptr<std::FILE, file_closer>;

[[noreturn]] void exec_tool(const std::vector<std::string>& args, const run_limits& limits)
{
    const rlimit file_size{limits.file_size, limits.file_size};
    const rlimit address_space{limits.address_space, limits.address_space};
    std::signal(SIGXFSZ, SIG_IGN);
    alarm(120);  // A tool that hangs (say, on a FIFO) fails its test instead of stalling the suite.
    std::vector<char*> argv{const_cast<char*>(FWSPLICE_BINARY)};
    std::transform(args.begin(), args.end(), std::back_inserter(argv),
                   [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
    argv.push_back(nullptr);
    if (setrlimit(RLIMIT_FSIZE, &file_size) == 0 && setrlimit(RLIMIT_AS, &address_space) == 0) {
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

run_result run_fwsplice(const std::vector<std::string>& args, const run_limits& limits)
{
    // Scratch files rather than pipes: the tool's output is collected after it ends.
    const scratch_file out{std::tmpfile()};
    const scratch_file err{std::tmpfile()};
    if (!out || !err) {
        throw std::runtime_error("no scratch file for the tool's output");
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(fileno(out.get()), STDOUT_FILENO);
        dup2(fileno(err.get()), STDERR_FILENO);
        exec_tool(args, limits);
    }
    int wait_status = 0;
    if (child < 0 || waitpid(child, &wait_status, 0) != child) {
        throw std::runtime_error("could not run " FWSPLICE_BINARY);
    }
    const int status =
        WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return {status, contents(out.get()), contents(err.get())};
}
