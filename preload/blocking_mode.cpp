// The blocking mode of managed sockets (fcntl F_SETFL, ioctl FIONBIO): the record keeps
// it for the waiting calls, the kernel twin keeps it for F_GETFL. Every other fcntl
// command is the kernel twin's.
#include <cerrno>
#include <fcntl.h>

#include "emulated_records.h"
#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"
#include "trace_log.h"

namespace kvel {

namespace {

int set_blocking(int fd, uint8_t blocking, const char* name) {
  lookup_socket_record(fd)->is_blocking = blocking;
  if (blocking)
    trace_line(name, "set fd=%d blocking\n", fd);
  else
    trace_line(name, "set fd=%d non-blocking\n", fd);
  return 0;
}

// The commands that the record takes no part in, named in the verbose log.
void note_kernel_command(const char* name, int cmd) {
  verbose_line(name, "Unknown fcntl %d\n", cmd);
}

}  // namespace

int vyx_set_socket_nonblocking(int fd) { return set_blocking(fd, 0, "vyx_set_socket_nonblocking"); }
int vyx_set_socket_blocking(int fd) { return set_blocking(fd, 1, "vyx_set_socket_blocking"); }

}  // namespace kvel

using namespace kvel;

extern "C" int vyx_fcntl_noarg(int fd, int cmd) {
  release_slot(fd);
  if (cmd != F_GETFL) note_kernel_command("vyx_fcntl_noarg", cmd);
  const int result = real_fcntl(fd, cmd);
  if (cmd == F_GETFL) verbose_line("vyx_fcntl_noarg", "leave %d\n", result);
  return result;
}

extern "C" int vyx_fcntl_ptrarg(int fd, int cmd, void* arg) {
  release_slot(fd);
  note_kernel_command("vyx_fcntl_ptrarg", cmd);
  return real_fcntl(fd, cmd, arg);
}

// The kernel twin takes the flags first: the record follows only what it accepted.
// A duplicate shares the kernel object, which an emulated record then leaves alone.
extern "C" int vyx_fcntl_longarg(int fd, int cmd, long arg) {
  if (cmd != F_SETFL) {
    if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)
      hand_claimed_to_kernel(fd);
    else
      release_slot(fd);
    note_kernel_command("vyx_fcntl_longarg", cmd);
    return real_fcntl(fd, cmd, arg);
  }
  const int result = real_fcntl(fd, cmd, arg);
  if (result == 0) (arg & O_NONBLOCK) ? vyx_set_socket_nonblocking(fd) : vyx_set_socket_blocking(fd);
  release_slot(fd);
  return result;
}
