// The first steps of every hardware session's set-up.
#pragma once
#include <cstdint>

namespace kvel {

constexpr int SESSION_OPEN_FAILED = -1;   // the device node could not be opened
constexpr int SESSION_ALLOC_REFUSED = -2;  // the driver gave no session (errno says why)

// Opens the device node, measures the TSC rate on it and allocates a session with
// `alloc_cmd` on port `fiber`. 0; SESSION_OPEN_FAILED after the diagnostic line of
// `source`'s `func`; SESSION_ALLOC_REFUSED without a message. The descriptor stays in
// *fd whatever happens, for the session's release.
int open_session_device(const char* source, const char* func, const char* dev_path, int fiber,
                        unsigned long alloc_cmd, int* fd);
// Maps the session's register page into *reg. 0, or -1 after the diagnostic line.
int map_session_regs(const char* source, const char* func, int fd, volatile uint64_t** reg);

// Both of the above, with a diagnostic line for a refused session too. -1 on failure.
int open_session_regs(const char* source, const char* dev_path, int fiber,
                      unsigned long alloc_cmd, int* fd, volatile uint64_t** reg);

}  // namespace kvel
