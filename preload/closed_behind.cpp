// Calls that close descriptors without a close call: close_range, closefrom, fclose of a
// stream made on a socket, and dup2 or dup3 onto a socket. The socket's record goes
// first, so that a later file given the same number never reaches a socket handler.
// The source of a duplicate, when an emulated eventfd or timerfd, becomes the kernel's.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/close_range.h>

#include "close_release.h"
#include "emulated_records.h"
#include "fd_lock.h"
#include "handlers.h"
#include "interposer_init.h"
#include "real_calls.h"
#include "trace_log.h"

using namespace kvel;

extern "C" {
ZORVLOAD_EXPORT int zl_entry_close_range(unsigned int first, unsigned int last, int flags)
    __asm__("close_range");
ZORVLOAD_EXPORT void zl_entry_closefrom(int lowfd) __asm__("closefrom");
ZORVLOAD_EXPORT int zl_entry_fclose(FILE* stream) __asm__("fclose");
ZORVLOAD_EXPORT int zl_entry_dup2(int fd, int fd2) __asm__("dup2");
ZORVLOAD_EXPORT int zl_entry_dup3(int fd, int fd2, int flags) __asm__("dup3");
}

namespace {

void forget_range(unsigned int first, unsigned int last) {
  const unsigned int end = unsigned(fd_table_end());
  for (unsigned int fd = first; fd <= last && fd < end; ++fd)
    if (claim_slot(int(fd))) close_record(int(fd));
}

// dup2 and dup3 close fd2 only when they succeed, which needs fd open and different;
// fd2 then shares fd's kernel object.
void prepare_duplicate(int fd, int fd2) {
  if (fd == fd2 || call_real(real_fcntl, fd, F_GETFD) < 0) return;
  hand_to_kernel(fd);
  if (claim_slot(fd2)) close_record(fd2);
}

}  // namespace

int zl_entry_close_range(unsigned int first, unsigned int last, int flags) {
  ensure_started();
  trace_line("close_range", "%u %u %d\n", first, last, flags);
  if ((flags & CLOSE_RANGE_CLOEXEC) == 0 && first <= last) forget_range(first, last);
  return call_real(real_close_range, first, last, flags);
}

void zl_entry_closefrom(int lowfd) {
  ensure_started();
  trace_line("closefrom", "%d\n", lowfd);
  if (lowfd >= 0) forget_range(unsigned(lowfd), ~0u);
  call_real(real_closefrom, lowfd);
}

// Streams of files are the common case: their descriptors have no record.
int zl_entry_fclose(FILE* stream) {
  ensure_started();
  const int fd = stream != nullptr ? fileno(stream) : -1;
  if (lookup_socket_record(fd) != nullptr && claim_slot(fd)) {
    trace_line("fclose", "%d\n", fd);
    close_record(fd);
  }
  return call_real(real_fclose, stream);
}

int zl_entry_dup2(int fd, int fd2) {
  ensure_started();
  trace_line("dup2", "%d %d\n", fd, fd2);
  prepare_duplicate(fd, fd2);
  const int result = call_real(real_dup2, fd, fd2);
  trace_line("dup2", "fd=%d\n", result);
  return result;
}

int zl_entry_dup3(int fd, int fd2, int flags) {
  ensure_started();
  trace_line("dup3", "%d %d %d\n", fd, fd2, flags);
  prepare_duplicate(fd, fd2);
  const int result = call_real(real_dup3, fd, fd2, flags);
  trace_line("dup3", "fd=%d\n", result);
  return result;
}
