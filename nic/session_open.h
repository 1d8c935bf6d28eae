// The first steps of every hardware session's set-up.
#pragma once
#include <cstdint>

namespace kvel {

// Opens the device node, measures the TSC rate on it, allocates a session with
// `alloc_cmd` on port `fiber` and maps the session's register page. A failure prints
// the diagnostic line of `source`'s init and gives -1; whatever was opened stays in
// *fd and *reg for the session's release.
int open_session_regs(const char* source, const char* dev_path, int fiber,
                      unsigned long alloc_cmd, int* fd, volatile uint64_t** reg);

}  // namespace kvel
