// syscall(): the numbers that close or duplicate descriptors go to the interposer's own
// entry points, so that a program (or an event library) that closes with
// syscall(SYS_close, fd) ends the socket's record as close would; every other number
// goes on to the C library with the six argument registers as they came.
#include <cstdarg>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "duplicates.h"
#include "fd_lock.h"
#include "handlers.h"
#include "interposer_init.h"
#include "real_calls.h"
#include "sys_calls.h"

using namespace kvel;

namespace {

// The C library's names reach the interposer's entry points (entry_points.cpp).
long taken_over(long number, const long* a) {
  switch (number) {
    case SYS_close:
      return close(int(a[0]));
    case SYS_close_range:
      return close_range(unsigned(a[0]), unsigned(a[1]), int(a[2]));
    case SYS_dup:
      return dup(int(a[0]));
    case SYS_dup2:
      return dup2(int(a[0]), int(a[1]));
    case SYS_dup3:
      return dup3(int(a[0]), int(a[1]), int(a[2]));
    default:  // SYS_fcntl with a duplicating command
      return fcntl(int(a[0]), int(a[1]), a[2]);
  }
}

bool taken_number(long number, const long* a) {
  switch (number) {
    case SYS_close:
    case SYS_close_range:
    case SYS_dup:
    case SYS_dup2:
    case SYS_dup3:
      return true;
    case SYS_fcntl:
      return duplicating_fcntl(a[1]);
    default:
      return false;
  }
}

// Before start-up only a record made by an earlier call can need the interposer: an
// allocator (jemalloc's, in redis) opens, reads and closes files with syscall() while it
// sets itself up inside malloc, and start-up, which allocates, would wait on the
// allocator's own lock.
bool needs_interposer(long number, const long* a) {
  if (!taken_number(number, a)) return false;
  if (init_done.load(std::memory_order_acquire) != 0 || number == SYS_close_range) return true;
  const bool onto = number == SYS_dup2 || number == SYS_dup3;
  return lookup_socket_record(int(a[0])) != nullptr ||
         (onto && lookup_socket_record(int(a[1])) != nullptr);
}

}  // namespace

// The arguments are read as six longs: a caller that passed fewer leaves registers whose
// contents the kernel ignores for its number, exactly as without the interposer. Every
// other number goes to the kernel as the C library's syscall() sends it, without
// start-up.
extern "C" long vyx_syscall(long number, va_list rest) {
  long a[6];
  for (long& arg : a) arg = va_arg(rest, long);
  if (needs_interposer(number, a)) return taken_over(number, a);
  return sys_call6(number, a);
}
