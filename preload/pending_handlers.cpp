// Handlers whose card paths are not built yet: they give the slot back and hand the call
// to the C library unchanged, so a managed socket behaves as the kernel socket it stands
// beside. Each row names the handler, its C-library function and its parameters.
#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"

#define ZORVLOAD_PENDING(X)                                                                \
  X(int, vyx_shutdown, shutdown, (int fd, int how), (fd, how))                             \
  X(int, vyx_listen, listen, (int fd, int backlog), (fd, backlog))                         \
  X(int, vyx_bind, bind, (int fd, const sockaddr* addr, socklen_t addrlen),                \
    (fd, addr, addrlen))                                                                   \
  X(int, vyx_connect, connect, (int fd, const sockaddr* addr, socklen_t addrlen),          \
    (fd, addr, addrlen))                                                                   \
  X(int, vyx_accept4, accept4, (int fd, sockaddr* addr, socklen_t* addrlen, int flags),    \
    (fd, addr, addrlen, flags))                                                            \
  X(int, vyx_getsockopt, getsockopt,                                                       \
    (int fd, int level, int optname, void* optval, socklen_t* optlen),                     \
    (fd, level, optname, optval, optlen))                                                  \
  X(int, vyx_setsockopt, setsockopt,                                                       \
    (int fd, int level, int optname, const void* optval, socklen_t optlen),                \
    (fd, level, optname, optval, optlen))                                                  \
  X(int, vyx_getpeername, getpeername, (int fd, sockaddr* addr, socklen_t* addrlen),       \
    (fd, addr, addrlen))                                                                   \
  X(int, vyx_getsockname, getsockname, (int fd, sockaddr* addr, socklen_t* addrlen),       \
    (fd, addr, addrlen))                                                                   \
  X(int, vyx_fcntl_noarg, fcntl, (int fd, int cmd), (fd, cmd))                             \
  X(int, vyx_fcntl_ptrarg, fcntl, (int fd, int cmd, void* arg), (fd, cmd, arg))            \
  X(int, vyx_fcntl_longarg, fcntl, (int fd, int cmd, long arg), (fd, cmd, arg))

#define ZORVLOAD_PENDING_DEF(ret, handler, call, params, args) \
  extern "C" ret handler params {                              \
    kvel::release_slot(fd);                                    \
    return kvel::call_real(kvel::real_##call, ZORVLOAD_UNPAREN args);   \
  }
ZORVLOAD_PENDING(ZORVLOAD_PENDING_DEF)

namespace kvel {

namespace {

int set_blocking(int fd, uint8_t blocking) {
  lookup_socket_record(fd)->is_blocking = blocking;
  return 0;
}

}  // namespace

int vyx_set_socket_nonblocking(int fd) { return set_blocking(fd, 0); }
int vyx_set_socket_blocking(int fd) { return set_blocking(fd, 1); }

}  // namespace kvel
