#pragma once

namespace fwsplice {

/// Merge statuses: what merge_command returns and so what the process exits with.
inline constexpr int status_merged = 0;
inline constexpr int status_usage = -1;
inline constexpr int status_file_failed = -2;
inline constexpr int status_no_memory = -3;

/// Merges argv[1] (bootloader) and argv[2] (sketch) into argv[3], reporting each stage on
/// standard output; returns the merge status.
int merge_command(int argc, char** argv) noexcept;

}  // namespace fwsplice
