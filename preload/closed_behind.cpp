// The records that close_range, closefrom and fclose end, and those closed behind the
// interposer's back (closed_behind.h).
#include "closed_behind.h"

#include <fcntl.h>
#include <linux/close_range.h>

#include "close_release.h"
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

void forget_closed_behind(int fd) {
  if (lookup_socket_record(fd) == nullptr || !claim_slot(fd)) return;
  trace_line("forget_closed_behind", "fd %d was closed behind the interposer\n", fd);
  forget_record(fd);
}

}  // namespace kvel
