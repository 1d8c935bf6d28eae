// The per-process trace log: its streams, the byte budget that ends tracing, and the
// writers of call, verbose and result lines. Every writer keeps errno as it found it,
// since lines are also written after a call whose errno the caller must see.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/socket.h>

namespace kvel {

inline constexpr int32_t trace_default_budget = 10485760;
inline constexpr int32_t trace_large_budget = 1073741824;
inline constexpr int32_t trace_stdout_budget = 2097152000;

extern FILE* trace_file;    // null while tracing is off
extern FILE* verbose_file;  // trace_file with VERBOSE, else null
extern std::atomic<int32_t> trace_bytes;
extern int32_t trace_budget;

// A stream takes another line while it exists and the budget is not yet spent; the
// line that crosses the budget is still written whole.
inline bool trace_gate(FILE* stream) {
  return stream != nullptr && trace_bytes.load(std::memory_order_relaxed) <= trace_budget;
}

// "%06d/%u %s " and the fields, on trace_file: microseconds of the monotonic clock within
// the second, kernel thread id, the writer's name.
[[gnu::format(printf, 2, 3)]] void trace_line(const char* name, const char* fmt, ...);
// The same on verbose_file, with the thread id printed signed.
[[gnu::format(printf, 2, 3)]] void verbose_line(const char* name, const char* fmt, ...);
// Text that continues the previous line, gated on its own.
[[gnu::format(printf, 1, 2)]] void trace_more(const char* fmt, ...);
// "%06d %s return %d\n" for a result of 0 or more, "%06d %s return %d (%s)\n" with the
// text of errno for a negative one.
void trace_return(const char* name, long result);
// The same for a call on a descriptor, which the line names after the result:
// "%06d %s return %d (%d)\n", and "%06d %s return %d (%d, %s)\n" on failure.
void trace_return_fd(const char* name, int fd, long result);
// "doing <call> on kernel": the call goes to the C library with the caller's arguments.
// Nothing for a null name (a call whose hand-over is not traced).
void trace_kernel_call(const char* name, const char* call);

// Whether verbose lines are written: a single test of the stream, for the lines of the
// data paths, whose arguments are then not even gathered while VERBOSE is off.
inline bool verbose_on() { return verbose_file != nullptr; }

// Around fork: the forking thread holds the stream's lock, so that the child never
// inherits it held by a thread that the child does not have.
void hold_trace_stream();
void release_trace_stream();

// The dump of a socket address read safely from the caller; nothing below 8 bytes.
// Returns the bytes written.
int trace_sockaddr(FILE* stream, const sockaddr* addr, int len);

// Copies n bytes of caller memory without faulting: false when any of it is unreadable.
// Tracing reads caller structures only through this, so that a bad pointer that the
// C library answers with EFAULT never crashes the program in its trace line.
bool read_caller_memory(void* dst, const void* src, size_t n);
// The other way: false when any of dst is unwritable (the kernel's EFAULT).
bool write_caller_memory(void* dst, const void* src, size_t n);

}  // namespace kvel
