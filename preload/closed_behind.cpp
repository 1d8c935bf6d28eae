// The records that close_range, closefrom, fclose, dup2 and dup3 end (closed_behind.h).
#include "closed_behind.h"

#include <fcntl.h>
#include <linux/close_range.h>

#include "close_release.h"
#include "emulated_records.h"
#include "fd_lock.h"
#include "real_calls.h"
#include "trace_log.h"

namespace kvel {

namespace {

void forget_range(unsigned int first, unsigned int last) {
  const unsigned int end = unsigned(fd_table_end());
  for (unsigned int fd = first; fd <= last && fd < end; ++fd)
    if (claim_slot(int(fd))) close_record(int(fd));
}

}  // namespace

void forget_closed_range(unsigned int first, unsigned int last, int flags) {
  if ((flags & CLOSE_RANGE_CLOEXEC) == 0 && first <= last) forget_range(first, last);
}

void forget_closed_from(int lowfd) {
  if (lowfd >= 0) forget_range(unsigned(lowfd), ~0u);
}

// Streams of files are the common case: their descriptors have no record.
void forget_stream(FILE* stream) {
  const int fd = stream != nullptr ? fileno(stream) : -1;
  if (lookup_socket_record(fd) != nullptr && claim_slot(fd)) {
    trace_line("fclose", "%d\n", fd);
    close_record(fd);
  }
}

// dup2 and dup3 close fd2 only when they succeed, which needs fd open and different;
// fd2 then shares fd's kernel object.
void prepare_duplicate(int fd, int fd2) {
  if (fd == fd2 || real_fcntl(fd, F_GETFD) < 0) return;
  hand_to_kernel(fd);
  if (claim_slot(fd2)) close_record(fd2);
}

}  // namespace kvel
