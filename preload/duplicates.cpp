// dup, dup2, dup3 and fcntl's F_DUPFD and F_DUPFD_CLOEXEC. The kernel duplicates the
// socket's kernel twin; the new number then holds the socket's record too, so that
// calls on either number reach the same card session and the socket ends only with its
// last number (record_holders in socket_records.h). The close-on-exec flag is the
// kernel's, per number. An emulated eventfd or timerfd becomes the kernel's alone, since
// its counters could not follow two numbers.
#include "duplicates.h"

#include <cerrno>
#include <fcntl.h>

#include "close_release.h"
#include "closed_behind.h"
#include "emulated_records.h"
#include "handlers.h"
#include "real_calls.h"
#include "socket_records.h"
#include "trace_log.h"

namespace kvel {

namespace {

// The kernel's duplicating call, with up to two arguments after the descriptor.
using kernel_dup = int (*)(int fd, long a, long b);

int kernel_dup_plain(int fd, long, long) { return real_dup(fd); }
int kernel_dup_onto(int fd, long fd2, long) { return real_dup2(fd, int(fd2)); }
int kernel_dup3(int fd, long fd2, long flags) { return real_dup3(fd, int(fd2), int(flags)); }
int kernel_dup_fcntl(int fd, long cmd, long lowest) { return real_fcntl(fd, int(cmd), lowest); }

// Entered with fd's slot claimed: the kernel's new number `copy` gets fd's record. The
// hold is taken under fd's slot and the record published after fd's slot is given
// back, so that no thread holds one slot while it waits for another (two threads
// duplicating each other's copies would wait for each other). A number beyond the
// table could reach only the twin, so it is refused as accept does.
int share_record(int fd, int copy) {
  socket_record* r = lookup_socket_record(fd);
  const bool shared = copy >= 0 && copy < fd_table_size && copy != fd;
  if (shared) add_holder(r);
  release_slot(fd);
  if (shared) {
    publish_record(r, copy);
  } else if (copy >= fd_table_size) {
    real_close(copy);
    errno = EMFILE;
    copy = -1;
  }
  return copy;
}

// A card TCP socket's record is shared. An emulated epoll set stays with its first
// number (a duplicate reaches its kernel set), and so does a card UDP socket, whose
// duplicate reaches its kernel twin: calls on two numbers do not take turns, and
// programs hand a UDP socket's duplicates to threads of their own (memcached gives one
// to each worker), whose sends at once would write the session's TX window together.
bool claim_shared(int fd) {
  if (!claim_socket_slot(fd)) return false;
  const int kind = lookup_socket_record(fd)->kind;
  if (kind != RECORD_EPOLL && kind != RECORD_UDP) return true;
  release_slot(fd);
  return false;
}

int duplicate(const char* name, int fd, kernel_dup call, long a, long b) {
  hand_to_kernel(fd);
  const bool shared = claim_shared(fd);
  int copy = call(fd, a, b);
  if (shared) {
    copy = share_record(fd, copy);
  } else {
    forget_closed_behind(copy);
  }
  trace_line(name, "fd=%d\n", copy);
  return copy;
}

// dup2 and dup3 close fd2 first when they succeed, which needs fd open and different:
// its record ends as its close would end it.
int duplicate_onto(const char* name, int fd, int fd2, kernel_dup call, long flags) {
  if (fd != fd2 && real_fcntl(fd, F_GETFD) >= 0 && claim_slot(fd2)) close_record(fd2);
  return duplicate(name, fd, call, fd2, flags);
}

}  // namespace

int duplicate_by_fcntl(int fd, int cmd, long lowest) {
  return duplicate("fcntl", fd, kernel_dup_fcntl, cmd, lowest);
}

}  // namespace kvel

using namespace kvel;

extern "C" int vyx_dup(int fd) { return duplicate("dup", fd, kernel_dup_plain, 0, 0); }

extern "C" int vyx_dup2(int fd, int fd2) {
  return duplicate_onto("dup2", fd, fd2, kernel_dup_onto, 0);
}

extern "C" int vyx_dup3(int fd, int fd2, int flags) {
  return duplicate_onto("dup3", fd, fd2, kernel_dup3, flags);
}
