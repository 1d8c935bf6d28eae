// The log file of a traced process: where it goes, its name, the pruning of old logs and
// the opening of the stream with its status block.
#pragma once
#include <cstddef>

namespace kvel {

inline constexpr size_t log_name_size = 256;

// Opens the trace log as the environment asks; ends the process with status 1 when the
// log cannot be opened or its name cannot be built.
void setup_trace_log();

// Deletes all but the `keep` newest "zorvnic_log_" files among the first 16 regular files
// of that name in dir, never one that a live process still writes (holds locked); -1
// when dir cannot be read.
int prune_logs(int keep, const char* dir);

// "<dir>/zorvnic_log_<local date and time>.<microseconds>.log" into buf of
// log_name_size bytes; -1 (buf empty) when the name would not fit.
int make_log_name(char* buf, const char* dir);

}  // namespace kvel
