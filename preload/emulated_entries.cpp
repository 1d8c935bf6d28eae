// The entry points that make, duplicate and end the emulated eventfd and timerfd
// descriptors, and close, which ends a record of any kind.
#include <cerrno>

#include "emulated_records.h"
#include "fd_lock.h"
#include "handlers.h"
#include "interposer_init.h"
#include "real_calls.h"
#include "trace_log.h"

using namespace kvel;

extern "C" {
ZORVLOAD_EXPORT int zl_entry_close(int fd) __asm__("close");
ZORVLOAD_EXPORT int zl_entry_dup(int fd) __asm__("dup");
ZORVLOAD_EXPORT int zl_entry_eventfd(unsigned int initval, int flags) __asm__("eventfd");
ZORVLOAD_EXPORT int zl_entry_timerfd_create(int clockid, int flags) __asm__("timerfd_create");
ZORVLOAD_EXPORT int zl_entry_timerfd_settime(int fd, int flags, const itimerspec* new_value,
                                             itimerspec* old_value) __asm__("timerfd_settime");
}

int zl_entry_close(int fd) {
  ensure_started();
  if (trace_file) trace_line("close", "%d\n", fd);
  if (claim_slot(fd)) return vyx_close(fd);
  return call_real(real_close, fd);
}

int zl_entry_dup(int fd) {
  ensure_started();
  trace_line("dup", "%d\n", fd);
  hand_to_kernel(fd);
  const int result = call_real(real_dup, fd);
  trace_line("dup", "fd=%d\n", result);
  return result;
}

int zl_entry_eventfd(unsigned int initval, int flags) {
  ensure_started();
  trace_line("eventfd", "%d %X\n", int(initval), unsigned(flags));
  return vyx_eventfd(initval, flags);
}

int zl_entry_timerfd_create(int clockid, int flags) {
  ensure_started();
  trace_line("timerfd_create", "%d %d\n", clockid, flags);
  return vyx_timerfd_create(clockid, flags);
}

// Any other descriptor is the kernel's to refuse, a card socket's twin among them.
int zl_entry_timerfd_settime(int fd, int flags, const itimerspec* new_value,
                             itimerspec* old_value) {
  trace_line("timerfd_settime", "%d\n", fd);
  ensure_started();
  if (claim_slot(fd)) {
    if (lookup_socket_record(fd)->kind == RECORD_TIMERFD)
      return vyx_timerfd_settime(fd, flags, new_value, old_value);
    release_slot(fd);
  }
  return call_real(real_timerfd_settime, fd, flags, new_value, old_value);
}
