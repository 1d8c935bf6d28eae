// The one list of the calls that the preload library takes over. Every row is
// X(shape, name, result, parameters, arguments, ...): the C-library function, and after
// its arguments the fields of its shape. The shapes:
//   ROUTE  descriptor-routed: start-up, the trace line, the extra trace items, then the
//          descriptor goes to vyx_<name> when the claim takes it, else to the C library,
//          with the verbose "kernel" line first when the row says `noted`
//          (claim, noted or quiet, trace, extra items);
//   DATA   descriptor-routed on the data path: as ROUTE, but start-up is tested only on
//          the way to the C library (claim, trace, extra items);
//   WHOLE  start-up, the trace line, then vyx_<name> with all the arguments: the calls
//          whose work lies in their module, descriptor-creating calls and waits over many
//          descriptors (trace);
//   PASS   start-up, the trace line, a statement, the C library (trace, statement);
//   PASSFD as PASS, then a "fd=%d" line with the result: the calls that give the kernel's
//          descriptors (trace, statement);
//   VARG   variadic: the parameters are the fixed ones; start-up, then vyx_<name> with
//          them and the rest as a va_list, which it traces (the last fixed parameter);
//   ASM    an entry point written in assembly beside its module: vfork, and syscall,
//          which passes most numbers on in a few instructions and starts the interposer
//          only where it needs it (allocators call it from inside malloc before anything
//          is set up: start-up allocates).
// A trace field is the trace line's format and arguments in parentheses, or () for none.
// The rows are in binding order; the list generates the real_ pointers with their
// fallbacks and binding (real_calls.h), the vyx_ handlers' declarations (handlers.h) and
// the entry points (entry_points.cpp).
#pragma once
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <sys/types.h>
#include <sys/uio.h>

#define ZORVLOAD_CALLS(X)                                                                         \
  X(WHOLE, socket, int, (int domain, int type, int protocol), (domain, type, protocol),           \
    ("%d %d %d (%s)\n", domain, type, protocol, level_name(protocol)))                            \
  X(ROUTE, close, int, (int fd), (fd), claim_slot(fd), quiet, ("%d\n", fd))                       \
  X(ROUTE, shutdown, int, (int fd, int how), (fd, how), claim_socket_slot(fd), quiet,             \
    ("%d %d\n", fd, how))                                                                         \
  X(DATA, send, ssize_t, (int fd, const void* buf, size_t len, int flags),                        \
    (fd, buf, len, flags), claim_slot(fd), ("%d %d %x\n", fd, int(len), flags))                   \
  X(DATA, sendto, ssize_t,                                                                        \
    (int fd, const void* buf, size_t len, int flags, const sockaddr* addr, socklen_t addrlen),    \
    (fd, buf, len, flags, addr, addrlen), claim_slot(fd),                                         \
    ("%d %d %x %d\n", fd, int(len), flags, int(addrlen)))                                         \
  X(DATA, sendmsg, ssize_t, (int fd, const msghdr* msg, int flags), (fd, msg, flags),             \
    claim_slot(fd), ("%d %x\n", fd, flags), trace_msg_iovecs("sendmsg", msg))                     \
  X(DATA, sendmmsg, int, (int fd, mmsghdr* vec, unsigned int vlen, int flags),                    \
    (fd, vec, vlen, flags), claim_slot(fd), ("%d %x %d\n", fd, flags, int(vlen)))                 \
  X(DATA, write, ssize_t, (int fd, const void* buf, size_t count), (fd, buf, count),              \
    claim_slot(fd), ("%d %d\n", fd, int(count)))                                                  \
  X(DATA, writev, ssize_t, (int fd, const iovec* iov, int iovcnt), (fd, iov, iovcnt),             \
    claim_slot(fd), ("%d %d\n", fd, iovcnt), trace_iovecs("writev", iov, iovcnt))                 \
  X(DATA, recv, ssize_t, (int fd, void* buf, size_t len, int flags), (fd, buf, len, flags),       \
    claim_slot(fd), ("%d %d %x\n", fd, int(len), flags))                                          \
  X(DATA, recvfrom, ssize_t,                                                                      \
    (int fd, void* buf, size_t len, int flags, sockaddr* src, socklen_t* addrlen),                \
    (fd, buf, len, flags, src, addrlen), claim_slot(fd),                                          \
    ("%d %d %x %p %p\n", fd, int(len), flags, static_cast<void*>(src),                            \
     static_cast<void*>(addrlen)),                                                                \
    trace_source_address(src, addrlen))                                                           \
  X(DATA, recvmsg, ssize_t, (int fd, msghdr* msg, int flags), (fd, msg, flags), claim_slot(fd),   \
    ("%d %x\n", fd, flags), trace_msg_iovecs("recvmsg", msg))                                     \
  X(DATA, recvmmsg, int, (int fd, mmsghdr* vec, unsigned int vlen, int flags, timespec* timeout), \
    (fd, vec, vlen, flags, timeout), claim_slot(fd), ("%d %x %d\n", fd, flags, int(vlen)))        \
  X(DATA, read, ssize_t, (int fd, void* buf, size_t count), (fd, buf, count), claim_slot(fd),     \
    ("%d %d\n", fd, int(count)))                                                                  \
  X(DATA, readv, ssize_t, (int fd, const iovec* iov, int iovcnt), (fd, iov, iovcnt),              \
    claim_slot(fd), ("%d %d\n", fd, iovcnt), trace_iovecs("readv", iov, iovcnt))                  \
  X(ROUTE, listen, int, (int fd, int backlog), (fd, backlog), claim_socket_slot(fd), quiet,       \
    ("%d %d\n", fd, backlog))                                                                     \
  X(ROUTE, bind, int, (int fd, const sockaddr* addr, socklen_t addrlen), (fd, addr, addrlen),     \
    claim_socket_slot(fd), quiet, ("%d %d\n", fd, int(addrlen)))                                  \
  X(ROUTE, connect, int, (int fd, const sockaddr* addr, socklen_t addrlen),                       \
    (fd, addr, addrlen), claim_socket_slot(fd), quiet,                                            \
    ("%d %p %d\n", fd, static_cast<const void*>(addr), int(addrlen)))                             \
  X(ROUTE, accept, int, (int fd, sockaddr* addr, socklen_t* addrlen), (fd, addr, addrlen),        \
    claim_socket_slot(fd), quiet, ("%d\n", fd))                                                   \
  X(ROUTE, accept4, int, (int fd, sockaddr* addr, socklen_t* addrlen, int flags),                 \
    (fd, addr, addrlen, flags), claim_socket_slot(fd), quiet, ("%d %x\n", fd, flags))             \
  X(WHOLE, select, int, (int nfds, fd_set* rd, fd_set* wr, fd_set* ex, timeval* timeout),         \
    (nfds, rd, wr, ex, timeout), ("%d timeout=%p\n", nfds, static_cast<void*>(timeout)))          \
  X(WHOLE, pselect, int,                                                                          \
    (int nfds, fd_set* rd, fd_set* wr, fd_set* ex, const timespec* timeout,                       \
     const sigset_t* sigmask),                                                                    \
    (nfds, rd, wr, ex, timeout, sigmask), ("%d\n", nfds))                                         \
  X(WHOLE, poll, int, (pollfd * fds, nfds_t nfds, int timeout_ms), (fds, nfds, timeout_ms),       \
    ("%d timeout_ms=%d\n", int(nfds), timeout_ms))                                                \
  X(WHOLE, ppoll, int,                                                                            \
    (pollfd * fds, nfds_t nfds, const timespec* timeout, const sigset_t* sigmask),                \
    (fds, nfds, timeout, sigmask),                                                                \
    ("%d timeout=%p\n", int(nfds), static_cast<const void*>(timeout)))                            \
  X(VARG, fcntl, int, (int fd, int cmd), (fd, cmd), cmd)                                          \
  X(VARG, fcntl64, int, (int fd, int cmd), (fd, cmd), cmd)                                        \
  X(VARG, ioctl, int, (int fd, unsigned long request), (fd, request), request)                    \
  X(ROUTE, getsockopt, int, (int fd, int level, int optname, void* optval, socklen_t* optlen),    \
    (fd, level, optname, optval, optlen), claim_socket_slot(fd), quiet,                           \
    ("%d %d (%s) %d (%s)\n", fd, level, level_name(level), optname,                               \
     option_name(level, optname)),                                                                \
    trace_optlen_in("getsockopt", optlen))                                                        \
  X(ROUTE, setsockopt, int,                                                                       \
    (int fd, int level, int optname, const void* optval, socklen_t optlen),                       \
    (fd, level, optname, optval, optlen), claim_socket_slot(fd), noted,                           \
    ("%d %d (%s) %d (%s)\n", fd, level, level_name(level), optname,                               \
     option_name(level, optname)),                                                                \
    trace_option_bytes("setsockopt", optval, optlen))                                             \
  X(ROUTE, getpeername, int, (int fd, sockaddr* addr, socklen_t* addrlen),                        \
    (fd, addr, addrlen), claim_socket_slot(fd), noted,                                            \
    ("%d %p %p\n", fd, static_cast<void*>(addr), static_cast<void*>(addrlen)))                    \
  X(ROUTE, getsockname, int, (int fd, sockaddr* addr, socklen_t* addrlen),                        \
    (fd, addr, addrlen), claim_socket_slot(fd), noted,                                            \
    ("%d %p %p\n", fd, static_cast<void*>(addr), static_cast<void*>(addrlen)))                    \
  X(WHOLE, epoll_create, int, (int size), (size), ("%d\n", size))                                 \
  X(WHOLE, epoll_create1, int, (int flags), (flags), ("%d\n", flags))                             \
  X(ROUTE, epoll_ctl, int, (int epfd, int op, int fd, epoll_event* event),                        \
    (epfd, op, fd, event), claim_slot(epfd), noted, ())                                           \
  X(ROUTE, epoll_wait, int, (int epfd, epoll_event* events, int maxevents, int timeout_ms),       \
    (epfd, events, maxevents, timeout_ms), claim_slot(epfd), noted, ())                           \
  X(ROUTE, epoll_pwait, int,                                                                      \
    (int epfd, epoll_event* events, int maxevents, int timeout_ms, const sigset_t* sigmask),      \
    (epfd, events, maxevents, timeout_ms, sigmask), claim_slot(epfd), noted, ())                  \
  X(ROUTE, epoll_pwait2, int,                                                                     \
    (int epfd, epoll_event* events, int maxevents, const timespec* timeout,                       \
     const sigset_t* sigmask),                                                                    \
    (epfd, events, maxevents, timeout, sigmask), claim_slot(epfd), noted, ())                     \
  X(WHOLE, dup, int, (int fd), (fd), ("%d\n", fd))                                              \
  X(WHOLE, dup2, int, (int fd, int fd2), (fd, fd2), ("%d %d\n", fd, fd2))                         \
  X(WHOLE, dup3, int, (int fd, int fd2, int flags), (fd, fd2, flags),                             \
    ("%d %d %d\n", fd, fd2, flags))                                                              \
  X(WHOLE, eventfd, int, (unsigned int initval, int flags), (initval, flags),                     \
    ("%d %X\n", int(initval), unsigned(flags)))                                                   \
  X(WHOLE, eventfd2, int, (unsigned int initval, int flags), (initval, flags),                    \
    ("%d %X\n", int(initval), unsigned(flags)))                                                   \
  X(PASSFD, signalfd, int, (int fd, const sigset_t* mask, int flags), (fd, mask, flags),          \
    ("%d %d\n", fd, flags))                                                                       \
  X(WHOLE, timerfd_create, int, (int clockid, int flags), (clockid, flags),                       \
    ("%d %d\n", clockid, flags))                                                                  \
  X(DATA, timerfd_settime, int,                                                                   \
    (int fd, int flags, const itimerspec* new_value, itimerspec* old_value),                      \
    (fd, flags, new_value, old_value), claim_timer_slot(fd), ("%d\n", fd))                        \
  X(PASS, timerfd_gettime, int, (int fd, itimerspec* curr_value), (fd, curr_value),               \
    ("%d\n", fd))                                                                                 \
  X(WHOLE, pipe, int, (int fds[2]), (fds), ())                                                    \
  X(WHOLE, fork, pid_t, (), (), ("\n"))                                                           \
  X(ASM, vfork, pid_t, (), ())                                                                    \
  X(PASS, close_range, int, (unsigned int first, unsigned int last, int flags),                   \
    (first, last, flags), ("%u %u %d\n", first, last, flags),                                     \
    forget_closed_range(first, last, flags))                                                      \
  X(PASS, closefrom, void, (int lowfd), (lowfd), ("%d\n", lowfd), forget_closed_from(lowfd))      \
  X(PASS, fclose, int, (FILE * stream), (stream), (), forget_stream(stream))                    \
  X(ASM, syscall, long, (long number, ...), ())                                                   \
  X(DATA, sendfile, ssize_t, (int out_fd, int in_fd, off_t* offset, size_t count),                \
    (out_fd, in_fd, offset, count), claim_slot(out_fd),                                           \
    ("%d %d %p %zu\n", out_fd, in_fd, static_cast<void*>(offset), count))                         \
  X(DATA, sendfile64, ssize_t, (int out_fd, int in_fd, off64_t* offset, size_t count),            \
    (out_fd, in_fd, offset, count), claim_slot(out_fd),                                           \
    ("%d %d %p %zu\n", out_fd, in_fd, static_cast<void*>(offset), count))

#define ZORVLOAD_UNPAREN(...) __VA_ARGS__

// A row's whole parameter list: a variadic call's fixed parameters and the ellipsis.
#define ZORVLOAD_PARAMS(shape, params) ZORVLOAD_PARAMS_##shape params
#define ZORVLOAD_PARAMS_ROUTE(...) (__VA_ARGS__)
#define ZORVLOAD_PARAMS_DATA(...) (__VA_ARGS__)
#define ZORVLOAD_PARAMS_WHOLE(...) (__VA_ARGS__)
#define ZORVLOAD_PARAMS_PASS(...) (__VA_ARGS__)
#define ZORVLOAD_PARAMS_PASSFD(...) (__VA_ARGS__)
#define ZORVLOAD_PARAMS_ASM(...) (__VA_ARGS__)
#define ZORVLOAD_PARAMS_VARG(...) (__VA_ARGS__, ...)
