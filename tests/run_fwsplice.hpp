#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

/// The user an unprivileged run takes, and the owner of files given away in tests.
inline constexpr uid_t nobody = 65534;

/// A call of the tool's that a seccomp notification holds, so that a test acts at that very
/// point, however busy the machine.
enum class held_call {
    none,
    first_write,  ///< its first write to a file (a descriptor above 2)
    input_open,   ///< each open it makes with O_NONBLOCK: the inputs', then the output's
    path_lookup,  ///< each stat() of a whole path: the inputs', then the output's
    truncation,   ///< each ftruncate()
    kernel_copy   ///< each copy_file_range()
};

/// How the tool's process is set up before it starts. By default it gets every signal as a
/// shell leaves it: default dispositions, nothing blocked.
struct run_options {
    std::string program = FWSPLICE_BINARY;  ///< the build's check program, for its cases
    rlim_t file_size = RLIM_INFINITY;
    rlim_t address_space = RLIM_INFINITY;
    bool ignore_sigxfsz = false;  ///< as a caller that ignores SIGXFSZ would leave it
    int broken_pipe = -1;         ///< a descriptor made a pipe whose reader has gone, or -1
    uid_t user = 0;               ///< run as this user (and group) when the suite runs as root
    bool user_namespace = false;  ///< in a user namespace of its own, mapping only its user
    std::string descriptor_3;     ///< a file opened for writing as descriptor 3, if named
    std::string standard_output;  ///< a file that standard output goes to instead, if named
    bool no_proc = false;         ///< in a mount namespace without /proc (needs root)
    bool standard_streams_closed = false;  ///< started with descriptors 0 and 1 closed
    bool no_unnamed_files = false;  ///< make open(O_TMPFILE) fail, as on file systems without it
    int refused_chmod = 0;       ///< fchmod() fails with this error, as where modes cannot be set
    bool failing_close = false;  ///< close() of a descriptor open for writing fails with EIO
    held_call hold = held_call::none;  ///< a call held until the test lets it go or ends it
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
    /// With a held call: returns once the tool is inside it, where it stays until a signal
    /// ends it or go_on() lets the call run.
    void wait_for_held_call();
    /// Lets held calls go on until the `nth` one given `path` is held.
    void wait_for_held_call_on(const std::string& path, int nth = 1);
    void go_on() const;
    /// Answers the held call with this error instead of running it.
    void fail_held_call(int error) const;
    /// The path that the held call (an open or a stat) was given.
    std::string held_path() const;
    run_result wait();

private:
    std::unique_ptr<std::FILE, scratch_closer> out_;
    std::unique_ptr<std::FILE, scratch_closer> err_;
    pid_t child_ = -1;
    int listener_ = -1;  ///< the seccomp notifications of the held call
    unsigned long long held_id_ = 0;
    unsigned long long held_path_ = 0;  ///< where the held call's path is, in the tool's memory
    bool failing_close_ = false;
    void answer_held_calls();
};

/// Runs the built fwsplice to its end and collects what it prints.
run_result run_fwsplice(const std::vector<std::string>& args, const run_options& options = {});
