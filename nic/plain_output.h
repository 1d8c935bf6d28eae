// Where the library's plain lines and diagnostics go: standard output, which the
// library's own programs and applications linked with it read, or standard error inside
// a program preloaded with the interposer, whose standard output is its data (a line
// there would land inside what it writes to a file or a pipe).
#pragma once
#include <cstdio>

namespace kvel {

// The preload library's start-up, before any thread of the library runs.
void plain_output_to_stderr();
FILE* plain_output();
int plain_output_fd();

}  // namespace kvel
