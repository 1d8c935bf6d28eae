// The one list of the calls that the preload library takes over. Every row names the
// C-library function, its result and parameter list, and the shape of its entry point:
//   SOCK  start-up at entry, trace line, a managed socket goes to vyx_<name> (an emulated
//         eventfd or timerfd to its kernel object, which refuses socket calls);
//   SOCKK as SOCK, with the verbose kernel line before the kernel path;
//   DATA  as SOCK, but start-up is tested only on the way to the kernel;
//   PASS  start-up at entry, trace line, the C library, a "fd=%d" line with the result;
//   KERN  start-up at entry, trace line, the C library;
//   LATEK trace line, start-up, the C library;
//   OWN   an entry point written by hand (entry_points.cpp and the modules beside it).
// All shapes but OWN carry the argument list and the trace line's fields and arguments;
// SOCK, SOCKK and DATA may add a statement that traces more items after the line.
// The rows are in binding order; the list generates the real_ pointers, their binding,
// the generated entry points and their dispatch.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <sys/types.h>
#include <sys/uio.h>

#define ZORVLOAD_CALLS(SOCK, SOCKK, DATA, PASS, KERN, LATEK, OWN)                             \
  OWN(socket, int, (int domain, int type, int protocol))                                      \
  OWN(close, int, (int fd))                                                                   \
  SOCK(shutdown, int, (int fd, int how), (fd, how), "%d %d\n", (fd, how))                     \
  DATA(send, ssize_t, (int fd, const void* buf, size_t len, int flags), (fd, buf, len, flags), \
       "%d %d %x\n", (fd, int(len), flags))                                                   \
  DATA(sendto, ssize_t,                                                                       \
       (int fd, const void* buf, size_t len, int flags, const sockaddr* addr,                 \
        socklen_t addrlen),                                                                   \
       (fd, buf, len, flags, addr, addrlen), "%d %d %x %d\n",                                 \
       (fd, int(len), flags, int(addrlen)))                                                   \
  DATA(sendmsg, ssize_t, (int fd, const msghdr* msg, int flags), (fd, msg, flags), "%d %x\n",  \
       (fd, flags), trace_msg_iovecs("sendmsg", msg))                                         \
  DATA(sendmmsg, int, (int fd, mmsghdr* vec, unsigned int vlen, int flags),                   \
       (fd, vec, vlen, flags), "%d %x %d\n", (fd, flags, int(vlen)))                          \
  DATA(write, ssize_t, (int fd, const void* buf, size_t count), (fd, buf, count), "%d %d\n",  \
       (fd, int(count)))                                                                      \
  DATA(writev, ssize_t, (int fd, const iovec* iov, int iovcnt), (fd, iov, iovcnt), "%d %d\n", \
       (fd, iovcnt), trace_iovecs("writev", iov, iovcnt))                                     \
  DATA(recv, ssize_t, (int fd, void* buf, size_t len, int flags), (fd, buf, len, flags),      \
       "%d %d %x\n", (fd, int(len), flags))                                                   \
  DATA(recvfrom, ssize_t,                                                                     \
       (int fd, void* buf, size_t len, int flags, sockaddr* src, socklen_t* addrlen),         \
       (fd, buf, len, flags, src, addrlen), "%d %d %x %p %p\n",                               \
       (fd, int(len), flags, static_cast<void*>(src), static_cast<void*>(addrlen)),           \
       trace_source_address(src, addrlen))                                                    \
  DATA(recvmsg, ssize_t, (int fd, msghdr* msg, int flags), (fd, msg, flags), "%d %x\n",        \
       (fd, flags), trace_msg_iovecs("recvmsg", msg))                                         \
  DATA(recvmmsg, int, (int fd, mmsghdr* vec, unsigned int vlen, int flags, timespec* timeout), \
       (fd, vec, vlen, flags, timeout), "%d %x %d\n", (fd, flags, int(vlen)))                 \
  DATA(read, ssize_t, (int fd, void* buf, size_t count), (fd, buf, count), "%d %d\n",         \
       (fd, int(count)))                                                                      \
  DATA(readv, ssize_t, (int fd, const iovec* iov, int iovcnt), (fd, iov, iovcnt), "%d %d\n",  \
       (fd, iovcnt), trace_iovecs("readv", iov, iovcnt))                                      \
  SOCK(listen, int, (int fd, int backlog), (fd, backlog), "%d %d\n", (fd, backlog))           \
  SOCK(bind, int, (int fd, const sockaddr* addr, socklen_t addrlen), (fd, addr, addrlen),     \
       "%d %d\n", (fd, int(addrlen)))                                                         \
  SOCK(connect, int, (int fd, const sockaddr* addr, socklen_t addrlen), (fd, addr, addrlen),  \
       "%d %p %d\n", (fd, static_cast<const void*>(addr), int(addrlen)))                      \
  OWN(accept, int, (int fd, sockaddr* addr, socklen_t* addrlen))                              \
  SOCK(accept4, int, (int fd, sockaddr* addr, socklen_t* addrlen, int flags),                 \
       (fd, addr, addrlen, flags), "%d %x\n", (fd, flags))                                    \
  OWN(select, int, (int nfds, fd_set* rd, fd_set* wr, fd_set* ex, timeval* timeout))          \
  OWN(pselect, int,                                                                           \
      (int nfds, fd_set* rd, fd_set* wr, fd_set* ex, const timespec* timeout,                 \
       const sigset_t* sigmask))                                                              \
  OWN(poll, int, (pollfd * fds, nfds_t nfds, int timeout_ms))                                 \
  OWN(ppoll, int,                                                                             \
      (pollfd * fds, nfds_t nfds, const timespec* timeout, const sigset_t* sigmask))          \
  OWN(fcntl, int, (int fd, int cmd, ...))                                                     \
  OWN(fcntl64, int, (int fd, int cmd, ...))                                                   \
  OWN(ioctl, int, (int fd, unsigned long request, ...))                                       \
  SOCK(getsockopt, int, (int fd, int level, int optname, void* optval, socklen_t* optlen),    \
       (fd, level, optname, optval, optlen), "%d %d (%s) %d (%s)\n",                          \
       (fd, level, level_name(level), optname, option_name(level, optname)),                  \
       trace_optlen_in("getsockopt", optlen))                                                 \
  SOCKK(setsockopt, int, (int fd, int level, int optname, const void* optval, socklen_t optlen), \
        (fd, level, optname, optval, optlen), "%d %d (%s) %d (%s)\n",                         \
        (fd, level, level_name(level), optname, option_name(level, optname)),                 \
        trace_option_bytes("setsockopt", optval, optlen))                                     \
  SOCKK(getpeername, int, (int fd, sockaddr* addr, socklen_t* addrlen), (fd, addr, addrlen),  \
        "%d %p %p\n", (fd, static_cast<void*>(addr), static_cast<void*>(addrlen)))            \
  SOCKK(getsockname, int, (int fd, sockaddr* addr, socklen_t* addrlen), (fd, addr, addrlen),  \
        "%d %p %p\n", (fd, static_cast<void*>(addr), static_cast<void*>(addrlen)))            \
  OWN(epoll_create, int, (int size))                                                          \
  OWN(epoll_create1, int, (int flags))                                                        \
  OWN(epoll_ctl, int, (int epfd, int op, int fd, epoll_event* event))                         \
  OWN(epoll_wait, int, (int epfd, epoll_event* events, int maxevents, int timeout_ms))        \
  OWN(epoll_pwait, int,                                                                       \
      (int epfd, epoll_event* events, int maxevents, int timeout_ms, const sigset_t* sigmask)) \
  OWN(epoll_pwait2, int,                                                                      \
      (int epfd, epoll_event* events, int maxevents, const timespec* timeout,                 \
       const sigset_t* sigmask))                                                              \
  OWN(dup, int, (int fd))                                                                     \
  OWN(dup2, int, (int fd, int fd2))                                                           \
  OWN(dup3, int, (int fd, int fd2, int flags))                                                \
  OWN(eventfd, int, (unsigned int initval, int flags))                                        \
  OWN(eventfd2, int, (unsigned int initval, int flags))                                       \
  PASS(signalfd, int, (int fd, const sigset_t* mask, int flags), (fd, mask, flags),           \
       "%d %d\n", (fd, flags))                                                                \
  OWN(timerfd_create, int, (int clockid, int flags))                                          \
  OWN(timerfd_settime, int,                                                                   \
      (int fd, int flags, const itimerspec* new_value, itimerspec* old_value))                \
  LATEK(timerfd_gettime, int, (int fd, itimerspec* curr_value), (fd, curr_value), "%d\n",     \
        (fd))                                                                                 \
  OWN(pipe, int, (int fds[2]))                                                                \
  OWN(fork, pid_t, ())                                                                        \
  OWN(vfork, pid_t, ())                                                                       \
  OWN(close_range, int, (unsigned int first, unsigned int last, int flags))                   \
  OWN(closefrom, void, (int lowfd))                                                           \
  OWN(fclose, int, (FILE * stream))

#define ZORVLOAD_UNPAREN(...) __VA_ARGS__
