#include "sys_calls.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kvel {

int sys_socket(int domain, int type, int protocol) {
  return int(syscall(SYS_socket, domain, type, protocol));
}

ssize_t sys_sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to,
                   socklen_t tolen) {
  return syscall(SYS_sendto, fd, buf, len, flags, to, tolen);
}

int sys_ioctl(int fd, unsigned long request, void* arg) {
  return int(syscall(SYS_ioctl, fd, request, arg));
}

ssize_t sys_read(int fd, void* buf, size_t count) { return syscall(SYS_read, fd, buf, count); }

ssize_t sys_write(int fd, const void* buf, size_t count) {
  return syscall(SYS_write, fd, buf, count);
}

long sys_call6(long number, const long* args) {
  long result = number;
  // The last three go to r10, r8 and r9 inside the statement: register variables set
  // before it could be clobbered by calls that instrumentation (the thread sanitizer's)
  // puts between their setting and the instruction.
  asm volatile(
      "mov %4, %%r10\n\t"
      "mov %5, %%r8\n\t"
      "mov %6, %%r9\n\t"
      "syscall"
      : "+a"(result)
      : "D"(args[0]), "S"(args[1]), "d"(args[2]), "r"(args[3]), "r"(args[4]), "r"(args[5])
      : "rcx", "r8", "r9", "r10", "r11", "memory");
  if (result < 0 && result > -4096) {
    errno = int(-result);
    return -1;
  }
  return result;
}

// The system call instruction itself: in a process where a preload library takes over
// syscall() for the descriptor-closing numbers, the library's own descriptors still
// close without passing it.
int sys_close(int fd) {
  const long args[6] = {fd};
  return int(sys_call6(SYS_close, args));
}

namespace {

// Above the numbers a program's own descriptors reach; the preload library keeps its
// twins' copies and log files up there too.
constexpr long private_fd_floor = 768;

}  // namespace

// The instruction itself, as for close: the interposer's fcntl never sees the copy.
int sys_lift_private(int fd, bool cloexec) {
  if (fd < 0 || fd >= private_fd_floor) return fd;
  const int saved_errno = errno;  // a copy that cannot be made is no failure of the caller's
  const long args[6] = {fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, private_fd_floor};
  const long result = sys_call6(SYS_fcntl, args);
  if (result < 0) {
    errno = saved_errno;
    return fd;
  }
  sys_close(fd);
  return int(result);
}

void sys_reserve_private_range() {
  const int saved_errno = errno;
  const long args[6] = {0, EFD_CLOEXEC};
  const long fd = sys_call6(SYS_eventfd2, args);
  if (fd >= 0) sys_close(sys_lift_private(int(fd), true));
  errno = saved_errno;
}

int sys_connect(int fd, const sockaddr* addr, socklen_t len) {
  return int(syscall(SYS_connect, fd, addr, len));
}

int sys_getpeername(int fd, sockaddr* addr, socklen_t* len) {
  return int(syscall(SYS_getpeername, fd, addr, len));
}

ssize_t sys_sendmsg(int fd, const msghdr* msg, int flags) {
  return syscall(SYS_sendmsg, fd, msg, flags);
}

ssize_t sys_recvmsg(int fd, msghdr* msg, int flags) {
  return syscall(SYS_recvmsg, fd, msg, flags);
}

int sys_setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
  return int(syscall(SYS_setsockopt, fd, level, name, value, len));
}

int sys_ppoll(pollfd* fds, nfds_t nfds, timespec* timeout) {
  return int(syscall(SYS_ppoll, fds, nfds, timeout, nullptr, 0));
}

}  // namespace kvel
