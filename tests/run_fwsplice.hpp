#pragma once

#include <sys/resource.h>

#include <string>
#include <vector>

/// Limits set on the tool's process before it starts; SIGXFSZ is always ignored there, so
/// a write past the file-size limit fails instead of killing the process.
struct run_limits {
    rlim_t file_size = RLIM_INFINITY;
    rlim_t address_space = RLIM_INFINITY;
};

struct run_result {
    int status;       ///< exit status as the shell sees it (255 for -1), 128 + signal if killed
    std::string out;  ///< everything on standard output
    std::string err;  ///< everything on standard error
};

/// Runs the built fwsplice with these arguments and collects what it prints.
run_result run_fwsplice(const std::vector<std::string>& args, const run_limits& limits = {});
