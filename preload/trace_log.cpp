#include "trace_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kvel {

FILE* trace_file = nullptr;
FILE* verbose_file = nullptr;
std::atomic<int32_t> trace_bytes{0};
int32_t trace_budget = trace_default_budget;

namespace {

// Keeps errno across a writer, whatever the stream does.
struct errno_keeper {
  int saved = errno;
  ~errno_keeper() { errno = saved; }
};

int monotonic_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int(ts.tv_nsec / 1000);
}

void count(int written) {
  if (written > 0) trace_bytes.fetch_add(written, std::memory_order_relaxed);
}

// Formats the prefix and the fields into one buffer and writes it with one call, so that
// lines of threads and forked children sharing the file never interleave; a line too long
// for the buffer is written in two parts under the stream lock.
void write_line(FILE* stream, const char* prefix_fmt, long tid, const char* name,
                const char* fmt, va_list ap) {
  char line[1024];
  int us = monotonic_us();
  int head = snprintf(line, sizeof line, prefix_fmt, us, tid, name);
  if (head < 0 || size_t(head) >= sizeof line) return;
  va_list copy;
  va_copy(copy, ap);
  int body = vsnprintf(line + head, sizeof line - size_t(head), fmt, copy);
  va_end(copy);
  if (body < 0) return;
  if (size_t(head + body) < sizeof line) {
    count(int(fwrite(line, 1, size_t(head + body), stream)));
    return;
  }
  flockfile(stream);
  count(int(fwrite(line, 1, size_t(head), stream)));
  count(vfprintf(stream, fmt, ap));
  funlockfile(stream);
}

}  // namespace

void trace_line(const char* name, const char* fmt, ...) {
  if (!trace_gate(trace_file)) return;
  errno_keeper keep;
  va_list ap;
  va_start(ap, fmt);
  write_line(trace_file, "%06d/%lu %s ", long(unsigned(gettid())), name, fmt, ap);
  va_end(ap);
}

void verbose_line(const char* name, const char* fmt, ...) {
  if (!trace_gate(verbose_file)) return;
  errno_keeper keep;
  va_list ap;
  va_start(ap, fmt);
  write_line(verbose_file, "%06d/%ld %s ", long(gettid()), name, fmt, ap);
  va_end(ap);
}

void trace_more(const char* fmt, ...) {
  if (!trace_gate(trace_file)) return;
  errno_keeper keep;
  va_list ap;
  va_start(ap, fmt);
  count(vfprintf(trace_file, fmt, ap));
  va_end(ap);
}

namespace {

// A result line; with_fd puts the descriptor after the result.
void result_line(const char* name, bool with_fd, int fd, long result) {
  if (!trace_gate(trace_file)) return;
  errno_keeper keep;
  const int us = monotonic_us();
  int n = 0;
  if (!with_fd && result >= 0)
    n = fprintf(trace_file, "%06d %s return %ld\n", us, name, result);
  else if (!with_fd)
    n = fprintf(trace_file, "%06d %s return %ld (%s)\n", us, name, result, strerror(keep.saved));
  else if (result >= 0)
    n = fprintf(trace_file, "%06d %s return %ld (%d)\n", us, name, result, fd);
  else
    n = fprintf(trace_file, "%06d %s return %ld (%d, %s)\n", us, name, result, fd,
                strerror(keep.saved));
  count(n);
}

}  // namespace

void trace_return(const char* name, long result) { result_line(name, false, 0, result); }

void trace_return_fd(const char* name, int fd, long result) {
  result_line(name, true, fd, result);
}

void trace_kernel_call(const char* name, const char* call) {
  if (name != nullptr) trace_line(name, "doing %s on kernel\n", call);
}

void hold_trace_stream() {
  if (trace_file != nullptr) flockfile(trace_file);
}

void release_trace_stream() {
  if (trace_file != nullptr) funlockfile(trace_file);
}

int trace_sockaddr(FILE* stream, const sockaddr* addr, int len) {
  if (len < 8) return 0;
  errno_keeper keep;
  sockaddr_in sin{};
  if (!read_caller_memory(&sin, addr, 8)) return 0;
  int n = fprintf(stream, "family=%d, (AF_INET=%d)\n", sin.sin_family, AF_INET);
  if (sin.sin_family == AF_INET) {
    const auto* b = reinterpret_cast<const unsigned char*>(&sin.sin_addr);
    n += fprintf(stream, "ip %u.%u.%u.%u port %u\n", b[0], b[1], b[2], b[3],
                 unsigned(ntohs(sin.sin_port)));
  }
  return n;
}

bool read_caller_memory(void* dst, const void* src, size_t n) {
  if (n == 0) return true;
  if (src == nullptr) return false;
  errno_keeper keep;
  iovec local{dst, n};
  iovec remote{const_cast<void*>(src), n};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == ssize_t(n);
}

bool write_caller_memory(void* dst, const void* src, size_t n) {
  if (n == 0) return true;
  if (dst == nullptr) return false;
  errno_keeper keep;
  iovec local{const_cast<void*>(src), n};
  iovec remote{dst, n};
  return process_vm_writev(getpid(), &local, 1, &remote, 1, 0) == ssize_t(n);
}

}  // namespace kvel
