// Handlers whose card paths are not built yet: they give the slot back and hand the call
// to the C library unchanged, so a managed socket behaves as the kernel socket it stands
// beside. Each row names the handler, its C-library function and its parameters.
#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"

#define ZORVLOAD_PENDING(X)                                                                \
  X(ssize_t, vyx_send, send, (int fd, const void* buf, size_t len, int flags),             \
    (fd, buf, len, flags))                                                                 \
  X(ssize_t, vyx_sendto, sendto,                                                           \
    (int fd, const void* buf, size_t len, int flags, const sockaddr* addr,                 \
     socklen_t addrlen),                                                                   \
    (fd, buf, len, flags, addr, addrlen))                                                  \
  X(ssize_t, vyx_sendmsg, sendmsg, (int fd, const msghdr* msg, int flags), (fd, msg, flags)) \
  X(int, vyx_sendmmsg, sendmmsg, (int fd, mmsghdr* vec, unsigned int vlen, int flags),     \
    (fd, vec, vlen, flags))                                                                \
  X(ssize_t, vyx_write, write, (int fd, const void* buf, size_t count), (fd, buf, count))  \
  X(ssize_t, vyx_writev, writev, (int fd, const iovec* iov, int iovcnt), (fd, iov, iovcnt)) \
  X(ssize_t, vyx_recv, recv, (int fd, void* buf, size_t len, int flags),                   \
    (fd, buf, len, flags))                                                                 \
  X(ssize_t, vyx_recvfrom, recvfrom,                                                       \
    (int fd, void* buf, size_t len, int flags, sockaddr* src, socklen_t* addrlen),         \
    (fd, buf, len, flags, src, addrlen))                                                   \
  X(ssize_t, vyx_recvmsg, recvmsg, (int fd, msghdr* msg, int flags), (fd, msg, flags))     \
  X(int, vyx_recvmmsg, recvmmsg,                                                           \
    (int fd, mmsghdr* vec, unsigned int vlen, int flags, timespec* timeout),               \
    (fd, vec, vlen, flags, timeout))                                                       \
  X(ssize_t, vyx_read, read, (int fd, void* buf, size_t count), (fd, buf, count))          \
  X(ssize_t, vyx_readv, readv, (int fd, const iovec* iov, int iovcnt), (fd, iov, iovcnt))  \
  X(int, vyx_setsockopt, setsockopt,                                                       \
    (int fd, int level, int optname, const void* optval, socklen_t optlen),                \
    (fd, level, optname, optval, optlen))

#define ZORVLOAD_PENDING_DEF(ret, handler, call, params, args) \
  extern "C" ret handler params {                              \
    kvel::release_slot(fd);                                    \
    return kvel::call_real(kvel::real_##call, ZORVLOAD_UNPAREN args);   \
  }
ZORVLOAD_PENDING(ZORVLOAD_PENDING_DEF)
