#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

/// The user an unprivileged run takes, and the owner of files given away in tests.
inline constexpr uid_t nobody = 65534;

/// How the tool's process is set up before it starts. By default it gets every signal as a
/// shell leaves it: default dispositions, nothing blocked.
struct run_options {
    rlim_t file_size = RLIM_INFINITY;
    rlim_t address_space = RLIM_INFINITY;
    bool ignore_sigxfsz = false;    ///< as a caller that ignores SIGXFSZ would leave it
    int broken_pipe = -1;           ///< a descriptor made a pipe whose reader has gone, or -1
    uid_t user = 0;                 ///< run as this user (and group) when the suite runs as root
    std::string descriptor_3;       ///< a file opened for writing as descriptor 3, if named
    bool no_unnamed_files = false;  ///< make open(O_TMPFILE) fail, as on file systems without it
    bool hold_first_write = false;  ///< its first write to a file is held until it is killed
};

struct run_result {
    int status;       ///< exit status as the shell sees it (255 for -1), 128 + signal if killed
    std::string out;  ///< everything on standard output
    std::string err;  ///< everything on standard error
};

struct scratch_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

/// The built fwsplice, started with these arguments; what it prints is collected at wait().
class running_fwsplice {
public:
    explicit running_fwsplice(const std::vector<std::string>& args,
                              const run_options& options = {});
    running_fwsplice(const running_fwsplice&) = delete;
    running_fwsplice& operator=(const running_fwsplice&) = delete;
    ~running_fwsplice();
    pid_t pid() const { return child_; }
    /// With hold_first_write: returns once the tool is inside its first write to a file, where
    /// it stays until a signal ends it.
    void wait_for_held_write() const;
    run_result wait();

private:
    std::unique_ptr<std::FILE, scratch_closer> out_;
    std::unique_ptr<std::FILE, scratch_closer> err_;
    pid_t child_ = -1;
    int listener_ = -1;  ///< the seccomp notifications of the held write
};

/// Runs the built fwsplice to its end and collects what it prints.
run_result run_fwsplice(const std::vector<std::string>& args, const run_options& options = {});
