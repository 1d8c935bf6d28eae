// fcntl, fcntl64 and ioctl, which take their last argument by the command: each command's
// argument class decides how the argument is read, and a managed descriptor's commands go
// to the blocking-mode handlers (blocking_mode.cpp), any other descriptor's to the kernel.
#include <cerrno>
#include <sys/ioctl.h>

#include "duplicates.h"
#include "emulated_records.h"
#include "fd_lock.h"
#include "handlers.h"
#include "queued_bytes.h"
#include "real_calls.h"
#include "trace_log.h"

using namespace kvel;

namespace {

enum class fcntl_class { none, pointer, number };

fcntl_class classify_fcntl(int cmd) {
  if (cmd > 11) return cmd == 1025 ? fcntl_class::none : fcntl_class::number;
  if (cmd <= 0) return fcntl_class::number;
  if ((0xa0a >> cmd) & 1) return fcntl_class::none;
  if ((0xe0 >> cmd) & 1) return fcntl_class::pointer;
  return fcntl_class::number;
}

// fcntl and fcntl64 both end here: their own trace line, then that of __fcntl.
int fcntl_dispatch(const char* name, int fd, int cmd, va_list rest) {
  trace_line(name, "%d %d\n", fd, cmd);
  trace_line("__fcntl", "%d %d\n", fd, cmd);
  switch (classify_fcntl(cmd)) {
    case fcntl_class::none:
      if (claim_slot(fd)) return vyx_fcntl_noarg(fd, cmd);
      return real_fcntl(fd, cmd);
    case fcntl_class::pointer: {
      void* arg = va_arg(rest, void*);
      if (claim_slot(fd)) return vyx_fcntl_ptrarg(fd, cmd, arg);
      return real_fcntl(fd, cmd, arg);
    }
    case fcntl_class::number:
      break;
  }
  long arg = va_arg(rest, long);
  // An emulated descriptor's duplicate is the kernel's (vyx_fcntl_longarg hands it over).
  if (duplicating_fcntl(cmd) && !emulated_kind(lookup_socket_record(fd)))
    return duplicate_by_fcntl(fd, cmd, arg);
  if (claim_slot(fd)) return vyx_fcntl_longarg(fd, cmd, arg);
  return real_fcntl(fd, cmd, arg);
}

// FIONBIO on a managed socket, entered with the slot claimed: the record takes the mode,
// then the kernel socket follows.
int managed_fionbio(int fd, void* arg) {
  int on = 0;
  if (arg == nullptr || !read_caller_memory(&on, arg, sizeof on)) {
    release_slot(fd);
    errno = arg == nullptr ? EINVAL : EFAULT;
    return -1;
  }
  int result = on != 0 ? vyx_set_socket_nonblocking(fd) : vyx_set_socket_blocking(fd);
  release_slot(fd);
  real_ioctl(fd, static_cast<unsigned long>(FIONBIO), arg);
  return result;
}

// FIONREAD, SIOCOUTQ on a card socket, entered with the slot claimed.
int managed_queue(int fd, socket_record* r, unsigned long request, void* arg) {
  int count = 0;
  int err = queued_bytes(r, request, &count);
  release_slot(fd);
  if (err == 0 && !write_caller_memory(arg, &count, sizeof count)) err = EFAULT;
  trace_line("ioctl_impl", "queued %d\n", err == 0 ? count : -err);
  if (err == 0) return 0;
  errno = err;
  return -1;
}

}  // namespace

extern "C" int vyx_fcntl(int fd, int cmd, va_list rest) {
  return fcntl_dispatch("fcntl", fd, cmd, rest);
}

extern "C" int vyx_fcntl64(int fd, int cmd, va_list rest) {
  return fcntl_dispatch("fcntl64", fd, cmd, rest);
}

extern "C" int vyx_ioctl(int fd, unsigned long request, va_list rest) {
  void* arg = va_arg(rest, void*);
  trace_line("ioctl_impl", "%d %lu %p\n", fd, request, arg);
  if (claim_slot(fd)) {
    if (request == FIONBIO) return managed_fionbio(fd, arg);
    socket_record* r = lookup_socket_record(fd);
    if (queue_request(request) && card_answers_queue(r)) return managed_queue(fd, r, request, arg);
    release_slot(fd);
  }
  verbose_line("ioctl_impl", "kernel\n");
  return real_ioctl(fd, request, arg);
}
