// The exported entry points. Each carries the C library's name as its symbol (an asm
// label, so the C++ declarations of the system headers stay untouched); the generated
// ones come from the call list, the others are written out below. An entry point decides
// by descriptor ownership first: a descriptor without a record reaches the C library
// with the caller's arguments untouched, and trace items read caller memory only safely.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sys/ioctl.h>

#include "emulated_records.h"
#include "epoll_set.h"
#include "fd_lock.h"
#include "handlers.h"
#include "interposer_init.h"
#include "poll_wait.h"
#include "real_calls.h"
#include "trace_items.h"
#include "trace_log.h"
#include "trace_names.h"

using namespace kvel;

// The generated entry points test the stream before they format anything, so that a call
// with tracing off costs two loads and a compare more than the C library's.
#define ZL_DECLARE(name, ret, params, ...) \
  extern "C" ZORVLOAD_EXPORT ret zl_entry_##name params __asm__(#name);
ZORVLOAD_CALLS(ZL_DECLARE, ZL_DECLARE, ZL_DECLARE, ZL_DECLARE, ZL_DECLARE, ZL_DECLARE,
               ZL_DECLARE)

#define ZL_SOCK(name, ret, params, args, fmt, targs, ...)          \
  ret zl_entry_##name params {                                     \
    ensure_started();                                              \
    if (trace_file) trace_line(#name, fmt, ZORVLOAD_UNPAREN targs);                \
    __VA_ARGS__;                                                   \
    if (claim_socket_slot(fd)) return vyx_##name args;             \
    return call_real(real_##name, ZORVLOAD_UNPAREN args);          \
  }
#define ZL_SOCKK(name, ret, params, args, fmt, targs, ...)         \
  ret zl_entry_##name params {                                     \
    ensure_started();                                              \
    if (trace_file) trace_line(#name, fmt, ZORVLOAD_UNPAREN targs);                \
    __VA_ARGS__;                                                   \
    if (claim_socket_slot(fd)) return vyx_##name args;             \
    if (verbose_file) verbose_line(#name, "kernel\n");                               \
    return call_real(real_##name, ZORVLOAD_UNPAREN args);          \
  }
#define ZL_DATA(name, ret, params, args, fmt, targs, ...)          \
  ret zl_entry_##name params {                                     \
    if (trace_file) trace_line(#name, fmt, ZORVLOAD_UNPAREN targs);                \
    __VA_ARGS__;                                                   \
    if (claim_slot(fd)) return vyx_##name args;                    \
    ensure_started();                                              \
    return call_real(real_##name, ZORVLOAD_UNPAREN args);          \
  }
#define ZL_PASS(name, ret, params, args, fmt, targs)               \
  ret zl_entry_##name params {                                     \
    ensure_started();                                              \
    if (trace_file) trace_line(#name, fmt, ZORVLOAD_UNPAREN targs);                \
    ret result = call_real(real_##name, ZORVLOAD_UNPAREN args);    \
    trace_line(#name, "fd=%d\n", int(result));                     \
    return result;                                                 \
  }
#define ZL_KERN(name, ret, params, args, fmt, targs)               \
  ret zl_entry_##name params {                                     \
    ensure_started();                                              \
    if (trace_file) trace_line(#name, fmt, ZORVLOAD_UNPAREN targs);                \
    return call_real(real_##name, ZORVLOAD_UNPAREN args);          \
  }
#define ZL_LATEK(name, ret, params, args, fmt, targs)              \
  ret zl_entry_##name params {                                     \
    if (trace_file) trace_line(#name, fmt, ZORVLOAD_UNPAREN targs);                \
    ensure_started();                                              \
    return call_real(real_##name, ZORVLOAD_UNPAREN args);          \
  }
#define ZL_OWN(name, ret, params)
ZORVLOAD_CALLS(ZL_SOCK, ZL_SOCKK, ZL_DATA, ZL_PASS, ZL_KERN, ZL_LATEK, ZL_OWN)

namespace {

constexpr int domain_inet = 2;
constexpr int type_flags = 0x800 | 0x80000;  // SOCK_NONBLOCK, SOCK_CLOEXEC

bool served_socket(int domain, int type) {
  int base = type & ~type_flags;
  return domain == domain_inet && (base == SOCK_STREAM || base == SOCK_DGRAM);
}

[[noreturn]] void fortify_failure(const char* message) {
  fputs(message, stderr);
  exit(1);
}

// pollfd arrays are checked by division, so that a huge nfds cannot wrap the product.
void check_poll_room(nfds_t nfds, size_t fdslen, const char* message) {
  if (fdslen / sizeof(pollfd) < nfds) fortify_failure(message);
}

// select's timeout as pselect's; microseconds beyond a second carry into the seconds,
// as the C library takes them, which holds a carry past time_t's range at its end.
timespec timeval_to_timespec(const timeval& tv) {
  time_t seconds = 0;
  if (__builtin_add_overflow(tv.tv_sec, tv.tv_usec / 1'000'000, &seconds))
    return timespec{std::numeric_limits<time_t>::max(), 999'999'999};
  return timespec{seconds, (tv.tv_usec % 1'000'000) * 1000L};
}

enum class fcntl_class { none, pointer, number };

fcntl_class classify_fcntl(int cmd) {
  if (cmd > 11) return cmd == 1025 ? fcntl_class::none : fcntl_class::number;
  if (cmd <= 0) return fcntl_class::number;
  if ((0xa0a >> cmd) & 1) return fcntl_class::none;
  if ((0xe0 >> cmd) & 1) return fcntl_class::pointer;
  return fcntl_class::number;
}

// fcntl and fcntl64 both end here: their own trace line, then that of __fcntl.
int fcntl_dispatch(const char* name, int fd, int cmd, va_list ap) {
  ensure_started();
  trace_line(name, "%d %d\n", fd, cmd);
  trace_line("__fcntl", "%d %d\n", fd, cmd);
  switch (classify_fcntl(cmd)) {
    case fcntl_class::none:
      if (claim_slot(fd)) return vyx_fcntl_noarg(fd, cmd);
      return call_real(real_fcntl, fd, cmd);
    case fcntl_class::pointer: {
      void* arg = va_arg(ap, void*);
      if (claim_slot(fd)) return vyx_fcntl_ptrarg(fd, cmd, arg);
      return call_real(real_fcntl, fd, cmd, arg);
    }
    case fcntl_class::number:
      break;
  }
  long arg = va_arg(ap, long);
  if (claim_slot(fd)) return vyx_fcntl_longarg(fd, cmd, arg);
  return call_real(real_fcntl, fd, cmd, arg);
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
  call_real(real_ioctl, fd, static_cast<unsigned long>(FIONBIO), arg);
  return result;
}

}  // namespace

int zl_entry_socket(int domain, int type, int protocol) {
  ensure_started();
  trace_line("socket", "%d %d %d (%s)\n", domain, type, protocol, level_name(protocol));
  if (served_socket(domain, type)) return vyx_socket(domain, type, protocol);
  int fd = call_real(real_socket, domain, type, protocol);
  vyx_log_kernel_fallback_socket(fd, "not IPv4");
  return fd;
}

int zl_entry_accept(int fd, sockaddr* addr, socklen_t* addrlen) {
  ensure_started();
  trace_line("accept", "%d\n", fd);
  if (claim_socket_slot(fd)) return vyx_accept4(fd, addr, addrlen, 0);
  return call_real(real_accept, fd, addr, addrlen);
}

int zl_entry_fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  int result = fcntl_dispatch("fcntl", fd, cmd, ap);
  va_end(ap);
  return result;
}

int zl_entry_fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  int result = fcntl_dispatch("fcntl64", fd, cmd, ap);
  va_end(ap);
  return result;
}

int zl_entry_ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  ensure_started();
  trace_line("ioctl_impl", "%d %lu %p\n", fd, request, arg);
  if (claim_slot(fd)) {
    if (request == FIONBIO) return managed_fionbio(fd, arg);
    release_slot(fd);
  }
  verbose_line("ioctl_impl", "kernel\n");
  return call_real(real_ioctl, fd, request, arg);
}

// The readiness calls wait in the interposer whatever descriptors they name: a card
// socket's data never reaches its kernel socket.
int zl_entry_select(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, timeval* timeout) {
  ensure_started();
  trace_line("select", "%d timeout=%p\n", nfds, static_cast<void*>(timeout));
  if (timeout == nullptr) return vyx_pselect(nfds, rd, wr, ex, nullptr, nullptr);
  timeval given{};
  if (!read_caller_memory(&given, timeout, sizeof given)) {
    errno = EFAULT;
    return -1;
  }
  timespec left = timeval_to_timespec(given);
  const int result = vyx_pselect(nfds, rd, wr, ex, &left, nullptr);
  if (result >= 0) *timeout = timeval{left.tv_sec, left.tv_nsec / 1000};
  return result;
}

int zl_entry_pselect(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, const timespec* timeout,
                     const sigset_t* sigmask) {
  ensure_started();
  trace_line("pselect", "%d\n", nfds);
  timespec copy{};
  if (timeout != nullptr) copy = *timeout;
  return vyx_pselect(nfds, rd, wr, ex, timeout != nullptr ? &copy : nullptr, sigmask);
}

int zl_entry_poll(pollfd* fds, nfds_t nfds, int timeout_ms) {
  ensure_started();
  trace_line("poll", "%d timeout_ms=%d\n", int(nfds), timeout_ms);
  const timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1'000'000L};
  return vyx_ppoll(fds, nfds, timeout_ms < 0 ? nullptr : &timeout, nullptr);
}

int zl_entry_ppoll(pollfd* fds, nfds_t nfds, const timespec* timeout,
                   const sigset_t* sigmask) {
  ensure_started();
  trace_line("ppoll", "%d timeout=%p\n", int(nfds), static_cast<const void*>(timeout));
  return vyx_ppoll(fds, nfds, timeout, sigmask);
}

// Every epoll set is made emulated; the other epoll calls go to the emulation when their
// set has a record.
int zl_entry_epoll_create(int size) {
  ensure_started();
  trace_line("epoll_create", "%d\n", size);
  if (size > 0) return vyx_epoll_create1(0);
  errno = EINVAL;
  return -1;
}

int zl_entry_epoll_create1(int flags) {
  ensure_started();
  trace_line("epoll_create1", "%d\n", flags);
  return vyx_epoll_create1(flags);
}

int zl_entry_epoll_ctl(int epfd, int op, int fd, epoll_event* event) {
  ensure_started();
  if (claim_slot(epfd)) return vyx_epoll_ctl(epfd, op, fd, event);
  verbose_line("epoll_ctl", "kernel\n");
  return call_real(real_epoll_ctl, epfd, op, fd, event);
}

int zl_entry_epoll_wait(int epfd, epoll_event* events, int maxevents, int timeout_ms) {
  return zl_entry_epoll_pwait(epfd, events, maxevents, timeout_ms, nullptr);
}

int zl_entry_epoll_pwait(int epfd, epoll_event* events, int maxevents, int timeout_ms,
                         const sigset_t* sigmask) {
  ensure_started();
  if (claim_slot(epfd)) {
    const timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1'000'000L};
    return vyx_epoll_pwait2(epfd, events, maxevents, timeout_ms < 0 ? nullptr : &timeout,
                            sigmask);
  }
  verbose_line("epoll_pwait", "kernel\n");
  return call_real(real_epoll_pwait, epfd, events, maxevents, timeout_ms, sigmask);
}

int zl_entry_epoll_pwait2(int epfd, epoll_event* events, int maxevents,
                          const timespec* timeout, const sigset_t* sigmask) {
  ensure_started();
  if (claim_slot(epfd)) return vyx_epoll_pwait2(epfd, events, maxevents, timeout, sigmask);
  verbose_line("epoll_pwait2", "kernel\n");
  return call_real(real_epoll_pwait2, epfd, events, maxevents, timeout, sigmask);
}

// eventfd2 is the flags form of eventfd; the C library exports it under that name only.
int zl_entry_eventfd2(unsigned int initval, int flags) {
  ensure_started();
  trace_line("eventfd2", "%d %X\n", int(initval), unsigned(flags));
  return vyx_eventfd(initval, flags);
}

int zl_entry_pipe(int fds[2]) {
  ensure_started();
  int result = call_real(real_pipe, fds);
  int pair[2];
  if (read_caller_memory(pair, fds, sizeof pair))
    trace_line("pipe", "Pipe [%d, %d]\n", pair[0], pair[1]);
  return result;
}

pid_t zl_entry_fork() {
  ensure_started();
  trace_line("fork", "\n");
  const pid_t pid = call_real(real_fork);
  if (pid >= 0) hand_all_to_kernel();
  return pid;
}

// The seven entry points without a pointer of their own.
extern "C" {

ZORVLOAD_EXPORT int __poll_chk(pollfd* fds, nfds_t nfds, int timeout_ms, size_t fdslen) {
  check_poll_room(nfds, fdslen, "__poll_chk nfds*sizeof(pollfd)>fdslen\n");
  return zl_entry_poll(fds, nfds, timeout_ms);
}

ZORVLOAD_EXPORT int __ppoll_chk(pollfd* fds, nfds_t nfds, const timespec* timeout,
                                const sigset_t* sigmask, size_t fdslen) {
  check_poll_room(nfds, fdslen, "__ppoll_chk nfds*sizeof(pollfd)>fdslen\n");
  ensure_started();
  trace_line("__ppoll_chk", "%d timeout=%p\n", int(nfds), static_cast<const void*>(timeout));
  return vyx_ppoll(fds, nfds, timeout, sigmask);
}

ZORVLOAD_EXPORT ssize_t __recv_chk(int fd, void* buf, size_t len, size_t buflen, int flags) {
  if (buflen < len) fortify_failure("__recv_chk len>buflen\n");
  trace_line("__recv_chk", "%d %d %x\n", fd, int(len), flags);
  if (claim_slot(fd)) return vyx_recv(fd, buf, len, flags);
  ensure_started();
  return call_real(real_recv, fd, buf, len, flags);
}

ZORVLOAD_EXPORT ssize_t __recvfrom_chk(int fd, void* buf, size_t len, size_t buflen, int flags,
                                       sockaddr* src, socklen_t* addrlen) {
  if (buflen < len) fortify_failure("__recvfrom_chk len>buflen\n");
  trace_line("__recvfrom_chk", "%d %d %x %p %p\n", fd, int(len), flags,
             static_cast<void*>(src), static_cast<void*>(addrlen));
  trace_source_address(src, addrlen);
  if (claim_slot(fd)) return vyx_recvfrom(fd, buf, len, flags, src, addrlen);
  ensure_started();
  return call_real(real_recvfrom, fd, buf, len, flags, src, addrlen);
}

ZORVLOAD_EXPORT ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen) {
  if (buflen < count) fortify_failure("__read_chk count>buflen\n");
  trace_line("__read_chk", "%d %d\n", fd, int(count));
  if (claim_slot(fd)) return vyx_read(fd, buf, count);
  ensure_started();
  return call_real(real_read, fd, buf, count);
}

// As the C library's: an eight-byte read or write, here through the interposer's own
// entry points, so that an emulated eventfd, a card socket and a kernel descriptor each
// take it as their read and write would.
ZORVLOAD_EXPORT int eventfd_read(int fd, eventfd_t* value) {
  trace_line("eventfd_read", "%d\n", fd);
  return zl_entry_read(fd, value, sizeof *value) == ssize_t(sizeof *value) ? 0 : -1;
}

ZORVLOAD_EXPORT int eventfd_write(int fd, eventfd_t value) {
  trace_line("eventfd_write", "%d %lu\n", fd, static_cast<unsigned long>(value));
  return zl_entry_write(fd, &value, sizeof value) == ssize_t(sizeof value) ? 0 : -1;
}

}  // extern "C"
