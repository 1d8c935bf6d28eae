// The exported entry points. Each carries the C library's name as its symbol (an asm
// label, so the C++ declarations of the system headers stay untouched); the generated
// ones come from the call list, the others are written out below. An entry point decides
// by descriptor ownership first: a descriptor without a record reaches the C library
// with the caller's arguments untouched, and trace items read caller memory only safely.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "closed_behind.h"
#include "inherited_sockets.h"
#include "emulated_records.h"
#include "fd_lock.h"
#include "handlers.h"
#include "interposer_init.h"
#include "real_calls.h"
#include "trace_items.h"
#include "trace_log.h"
#include "trace_names.h"

using namespace kvel;

// The generated entry points test the stream before they format anything, so that a call
// with tracing off costs two loads and a compare more than the C library's.
#define ZL_TRACE(name, ...) __VA_OPT__(if (trace_file) trace_line(name, __VA_ARGS__);)
#define ZL_TRACED(name, trace) ZL_TRACE(name, ZORVLOAD_UNPAREN trace)
#define ZL_KERNEL_PATH_quiet(name)
#define ZL_KERNEL_PATH_noted(name)                                                                \
  if (verbose_file) verbose_line(name, "kernel\n");
// Further arguments after a first one, from a list that may be empty.
#define ZL_MORE(...) __VA_OPT__(, ) __VA_ARGS__
#define ZL_HEAD(name, ret, params)                                                                \
  extern "C" ZORVLOAD_EXPORT ret zl_entry_##name params __asm__(#name);                           \
  ret zl_entry_##name params

// A claimed descriptor goes to its handler, unless it is a card socket that a forked
// child inherited: only its close is served (it forgets the child's copy); every other
// call fails at once. The name is compared at compile time.
#define ZL_FIRST(first, ...) first
#define ZL_CLAIMED(name, args)                                                                    \
  (__builtin_strcmp(#name, "close") != 0 && inherited_socket(ZL_FIRST args)                       \
       ? refuse_inherited(#name, ZL_FIRST args)                                                   \
       : vyx_##name args)

#define ZL_ENTRY_ROUTE(name, ret, params, args, claim, kernel, trace, ...)                        \
  ZL_HEAD(name, ret, params) {                                                                    \
    ensure_started();                                                                             \
    ZL_TRACED(#name, trace)                                                                       \
    __VA_ARGS__;                                                                                  \
    if (claim) return ZL_CLAIMED(name, args);                                                     \
    ZL_KERNEL_PATH_##kernel(#name)                                                                \
    return real_##name args;                                                                      \
  }
// The bodies of the data calls and of the whole calls take the name they trace under, so
// that a fortified variant shares its call's.
#define ZL_ENTRY_DATA(name, ret, params, args, claim, trace, ...)                                 \
  [[gnu::always_inline]] inline ret zl_data_##name(const char* call ZL_MORE params) {            \
    ZL_TRACED(call, trace)                                                                        \
    __VA_ARGS__;                                                                                  \
    if (claim) return ZL_CLAIMED(name, args);                                                     \
    ensure_started();                                                                             \
    return real_##name args;                                                                      \
  }                                                                                               \
  ZL_HEAD(name, ret, params) { return zl_data_##name(#name ZL_MORE args); }
#define ZL_ENTRY_WHOLE(name, ret, params, args, trace)                                            \
  [[gnu::always_inline]] inline ret zl_whole_##name([[maybe_unused]] const char* call            \
                                                    ZL_MORE params) {                             \
    ensure_started();                                                                             \
    ZL_TRACED(call, trace)                                                                        \
    return vyx_##name args;                                                                       \
  }                                                                                               \
  ZL_HEAD(name, ret, params) { return zl_whole_##name(#name ZL_MORE args); }
#define ZL_ENTRY_PASS(name, ret, params, args, trace, ...)                                        \
  ZL_HEAD(name, ret, params) {                                                                    \
    ensure_started();                                                                             \
    ZL_TRACED(#name, trace)                                                                       \
    __VA_ARGS__;                                                                                  \
    return real_##name args;                                                                      \
  }
#define ZL_ENTRY_PASSFD(name, ret, params, args, trace, ...)                                      \
  ZL_HEAD(name, ret, params) {                                                                    \
    ensure_started();                                                                             \
    ZL_TRACED(#name, trace)                                                                       \
    __VA_ARGS__;                                                                                  \
    const ret result = real_##name args;                                                          \
    forget_closed_behind(int(result));                                                            \
    trace_line(#name, "fd=%d\n", int(result));                                                    \
    return result;                                                                                \
  }
#define ZL_ENTRY_VARG(name, ret, params, args, last)                                              \
  ZL_HEAD(name, ret, (ZORVLOAD_UNPAREN params, ...)) {                                            \
    ensure_started();                                                                             \
    va_list rest;                                                                                 \
    va_start(rest, last);                                                                         \
    const ret result = vyx_##name(ZORVLOAD_UNPAREN args, rest);                                   \
    va_end(rest);                                                                                 \
    return result;                                                                                \
  }
#define ZL_ENTRY_ASM(name, ret, params, args)
#define ZL_ENTRY(shape, name, ret, params, ...) ZL_ENTRY_##shape(name, ret, params, __VA_ARGS__)
ZORVLOAD_CALLS(ZL_ENTRY)

namespace {

[[noreturn]] void fortify_failure(const char* message) {
  fputs(message, stderr);
  exit(1);
}

// pollfd arrays are checked by division, so that a huge nfds cannot wrap the product.
void check_poll_room(nfds_t nfds, size_t fdslen, const char* message) {
  if (fdslen / sizeof(pollfd) < nfds) fortify_failure(message);
}

}  // namespace

// The seven entry points without a pointer of their own.
extern "C" {

ZORVLOAD_EXPORT int __poll_chk(pollfd* fds, nfds_t nfds, int timeout_ms, size_t fdslen) {
  check_poll_room(nfds, fdslen, "__poll_chk nfds*sizeof(pollfd)>fdslen\n");
  return zl_entry_poll(fds, nfds, timeout_ms);
}

ZORVLOAD_EXPORT int __ppoll_chk(pollfd* fds, nfds_t nfds, const timespec* timeout,
                                const sigset_t* sigmask, size_t fdslen) {
  check_poll_room(nfds, fdslen, "__ppoll_chk nfds*sizeof(pollfd)>fdslen\n");
  return zl_whole_ppoll("__ppoll_chk", fds, nfds, timeout, sigmask);
}

ZORVLOAD_EXPORT ssize_t __recv_chk(int fd, void* buf, size_t len, size_t buflen, int flags) {
  if (buflen < len) fortify_failure("__recv_chk len>buflen\n");
  return zl_data_recv("__recv_chk", fd, buf, len, flags);
}

ZORVLOAD_EXPORT ssize_t __recvfrom_chk(int fd, void* buf, size_t len, size_t buflen, int flags,
                                       sockaddr* src, socklen_t* addrlen) {
  if (buflen < len) fortify_failure("__recvfrom_chk len>buflen\n");
  return zl_data_recvfrom("__recvfrom_chk", fd, buf, len, flags, src, addrlen);
}

ZORVLOAD_EXPORT ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen) {
  if (buflen < count) fortify_failure("__read_chk count>buflen\n");
  return zl_data_read("__read_chk", fd, buf, count);
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
