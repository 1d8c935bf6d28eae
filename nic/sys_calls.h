// Direct system calls for the library's private descriptors. They bypass the C
// library's wrappers, so a socket interposer preloaded into the same process never
// sees these descriptors. Results follow the system-call convention (-1 and errno).
#pragma once
#include <cstddef>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace kvel {

int sys_socket(int domain, int type, int protocol);
ssize_t sys_sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to,
                   socklen_t tolen);
int sys_ioctl(int fd, unsigned long request, void* arg);
ssize_t sys_read(int fd, void* buf, size_t count);
ssize_t sys_write(int fd, const void* buf, size_t count);
int sys_close(int fd);
// The system call instruction with six arguments, as the C library's syscall() makes it.
long sys_call6(long number, const long* args);
// fd moved above the low numbers, which a program expects to get back in order from its
// own calls (the kernel hands out the lowest free one): the copy, with fd closed, or fd
// itself when there is no room up there. A descriptor the library keeps while the
// program runs would otherwise take a number the program's next call should get.
int sys_lift_private(int fd, bool cloexec);
// Grows the process's descriptor table over the private numbers at once. Called while
// the process has one thread: once threads share the table, growing it waits for a
// grace period of the kernel's (about 15 ms), which the first private copy would pay in
// the middle of a program's first bind or connect.
void sys_reserve_private_range();
// Used by the device-access layer's simulator connection.
int sys_connect(int fd, const sockaddr* addr, socklen_t len);
int sys_getpeername(int fd, sockaddr* addr, socklen_t* len);
ssize_t sys_sendmsg(int fd, const msghdr* msg, int flags);
ssize_t sys_recvmsg(int fd, msghdr* msg, int flags);
int sys_setsockopt(int fd, int level, int name, const void* value, socklen_t len);
// The kernel writes the time left back into *timeout.
int sys_ppoll(pollfd* fds, nfds_t nfds, timespec* timeout);

}  // namespace kvel
