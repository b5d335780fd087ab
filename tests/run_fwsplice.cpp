#include "run_fwsplice.hpp"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <iterator>
#include <stdexcept>

namespace {

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

/// Reads both pipes to their ends together, so that neither can fill up and stall the tool.
void drain(std::array<int, 2> fds, std::array<std::string*, 2> sinks)
{
    std::array<pollfd, 2> polls{{{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}}};
    for (int open = 2; open > 0;) {
        if (poll(polls.data(), polls.size(), -1) < 0) {
            throw std::runtime_error("poll failed");
        }
        for (std::size_t i = 0; i < polls.size(); ++i) {
            char chunk[4096];
            if (polls[i].fd < 0 || polls[i].revents == 0) {
                continue;
            }
            const ssize_t got = read(polls[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(got));
            } else {
                close(polls[i].fd);
                polls[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace

run_result run_fwsplice(const std::vector<std::string>& args, const run_limits& limits)
{
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        exec_tool(args, limits);
    }
    close(out[1]);
    close(err[1]);
    run_result result{-1, {}, {}};
    drain({out[0], err[0]}, {&result.out, &result.err});
    int wait_status = 0;
    if (child < 0 || waitpid(child, &wait_status, 0) != child) {
        throw std::runtime_error("could not run " FWSPLICE_BINARY);
    }
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return result;
}
