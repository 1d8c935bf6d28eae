// Handlers of the calls on managed descriptors. The entry points call them with the
// descriptor's slot claimed (fd_lock.h); every handler gives the slot back exactly once.
#pragma once
#include "call_list.h"

#define ZORVLOAD_EXPORT __attribute__((visibility("default")))

extern "C" {

ZORVLOAD_EXPORT int vyx_socket(int domain, int type, int protocol);
ZORVLOAD_EXPORT int vyx_close(int fd);
void vyx_log_kernel_fallback_socket(int fd, const char* reason);

ZORVLOAD_EXPORT int vyx_shutdown(int fd, int how);
ZORVLOAD_EXPORT ssize_t vyx_send(int fd, const void* buf, size_t len, int flags);
ZORVLOAD_EXPORT ssize_t vyx_sendto(int fd, const void* buf, size_t len, int flags,
                                   const sockaddr* addr, socklen_t addrlen);
ZORVLOAD_EXPORT ssize_t vyx_sendmsg(int fd, const msghdr* msg, int flags);
ZORVLOAD_EXPORT int vyx_sendmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags);
ZORVLOAD_EXPORT ssize_t vyx_write(int fd, const void* buf, size_t count);
ZORVLOAD_EXPORT ssize_t vyx_writev(int fd, const iovec* iov, int iovcnt);
ZORVLOAD_EXPORT ssize_t vyx_recv(int fd, void* buf, size_t len, int flags);
ZORVLOAD_EXPORT ssize_t vyx_recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* src,
                                     socklen_t* addrlen);
ZORVLOAD_EXPORT ssize_t vyx_recvmsg(int fd, msghdr* msg, int flags);
// The timeout travels with the call, so that a managed socket waits as the kernel would.
ZORVLOAD_EXPORT int vyx_recvmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags,
                                 timespec* timeout);
ZORVLOAD_EXPORT ssize_t vyx_read(int fd, void* buf, size_t count);
ZORVLOAD_EXPORT ssize_t vyx_readv(int fd, const iovec* iov, int iovcnt);
ZORVLOAD_EXPORT int vyx_listen(int fd, int backlog);
ZORVLOAD_EXPORT int vyx_bind(int fd, const sockaddr* addr, socklen_t addrlen);
ZORVLOAD_EXPORT int vyx_connect(int fd, const sockaddr* addr, socklen_t addrlen);
ZORVLOAD_EXPORT int vyx_accept4(int fd, sockaddr* addr, socklen_t* addrlen, int flags);
ZORVLOAD_EXPORT int vyx_getsockopt(int fd, int level, int optname, void* optval,
                                   socklen_t* optlen);
ZORVLOAD_EXPORT int vyx_setsockopt(int fd, int level, int optname, const void* optval,
                                   socklen_t optlen);
ZORVLOAD_EXPORT int vyx_getpeername(int fd, sockaddr* addr, socklen_t* addrlen);
ZORVLOAD_EXPORT int vyx_getsockname(int fd, sockaddr* addr, socklen_t* addrlen);
ZORVLOAD_EXPORT int vyx_fcntl_noarg(int fd, int cmd);
ZORVLOAD_EXPORT int vyx_fcntl_ptrarg(int fd, int cmd, void* arg);
ZORVLOAD_EXPORT int vyx_fcntl_longarg(int fd, int cmd, long arg);

}  // extern "C"

namespace kvel {

// FIONBIO on a managed socket: the record follows the kernel's blocking mode.
int vyx_set_socket_nonblocking(int fd);
int vyx_set_socket_blocking(int fd);

}  // namespace kvel
