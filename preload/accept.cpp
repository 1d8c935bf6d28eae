// listen and accept on a managed stream socket: a listener on the card, and for every
// connection it takes a new descriptor whose record holds the connection. Neither falls
// back to the kernel: they succeed on the card or fail with an errno value.
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fd_lock.h"
#include "handlers.h"
#include "handshakes.h"
#include "real_calls.h"
#include "route_lookup.h"
#include "socket_options.h"
#include "socket_records.h"
#include "socket_setup.h"
#include "trace_log.h"
#include "wait_deadline.h"
#include "wait_signals.h"

using namespace kvel;

namespace {

constexpr char listen_name[] = "vyx_listen";
constexpr char accept_name[] = "vyx_accept4";
constexpr int accept_flag_mask = SOCK_NONBLOCK | SOCK_CLOEXEC;

// A listen without bind: the kernel's takes any address and an ephemeral port. The card
// takes ZORVLOAD_BIND_INTERFACE's address, when that is a card interface's own, and a
// port that the kernel twin reserves; otherwise *reason says why the socket becomes the
// kernel's listener.
int bind_default(int fd, socket_record* r, const char** reason) {
  const uint32_t a = default_bind_address();
  char ifname[lookup_name_size] = {};
  if (a == 0) {
    *reason = "listen without bind not supported without using default bind IP";
    return 0;
  }
  trace_line(listen_name, "trying default bind IP %X\n", a);
  *reason = card_interface_of(a, ifname);
  if (*reason != nullptr) return 0;
  r->local_port = bind_kernel_twin(fd, r, a, 0);
  if (r->local_port == 0) return EADDRNOTAVAIL;
  memcpy(r->ifname, ifname, sizeof r->ifname - 1);
  r->local_ip = a;
  r->bind_ip = a;
  return 0;
}

int open_listener(int fd, socket_record* r, const char** reason) {
  if (!socket_kind(r->kind)) return ENOTSOCK;
  if (r->kind == RECORD_TCP_LISTENER && r->handle != nullptr) return 0;  // a new backlog
  if (r->type != SOCK_STREAM) return EOPNOTSUPP;
  if (r->kind != RECORD_INET && r->kind != RECORD_TCP_LISTENER) return EINVAL;
  if (r->local_port == 0) {
    const int err = bind_default(fd, r, reason);
    if (err != 0 || *reason != nullptr) return err;
  }
  zorvsock_handle* h = init_handle(r);
  if (h == nullptr) return ENOMEM;
  const int rc = zorvsock_tcp_create_listener(h, r->ifname, r->local_port);
  if (rc < 0) {
    zorvsock_release_handle(h);
    return -rc;
  }
  r->handle = h;
  r->listening = 1;
  r->kind = RECORD_TCP_LISTENER;
  return 0;
}

// Waits for a connection while the call may: the slot is given up between polls, so that
// close or shutdown (SHUT_RD) from another thread ends the wait, SO_RCVTIMEO as the
// kernel's, a signal handler as the kernel's (wait_signals.h). 0, or an errno value.
int wait_pending(int fd, socket_record* listener, bool may_wait) {
  const uint32_t generation = slot_generation(fd);
  wait_deadline until = wait_deadline::of(listener->rcv_timeout_us);
  wait_signals signals;
  for (;;) {
    if (listener->shut_rd != 0) return EINVAL;
    if (handshake_done(listener)) return 0;
    if (!may_wait || until.passed()) return EAGAIN;
    if (signals.take(until.timeout_us != 0) != 0) return EINTR;
    if (!pause_slot(fd, generation)) return EBADF;
  }
}

// The new descriptor's record: the listener's local side, the connection's handle.
socket_record* connection_record(const socket_record* listener, zorvsock_handle* h, int flags) {
  socket_record* r = alloc_socket_record();
  if (r == nullptr) return nullptr;
  memcpy(r, listener, sizeof *r);
  r->kind = RECORD_TCP;
  r->is_blocking = (flags & SOCK_NONBLOCK) ? 0 : 1;
  r->listening = 0;
  r->handle = h;
  memset(r->handshake, 0, sizeof r->handshake);  // the listener's own
  r->shut_rd = 0;
  r->shut_wr = 0;
  r->twin_ip = 0;  // its kernel socket is a fresh one, unbound
  r->twin_port = 0;
  zorvsock_tcp_get_peer(h, &r->remote_ip, &r->remote_port);
  return r;
}

// Takes a connection whose handshake is done into a new descriptor; the placeholder
// kernel socket is made first, so that a refusal (no descriptor, or one beyond the
// table) leaves the connection waiting for a later accept, as the kernel's accept does.
int take_connection(int fd, socket_record* listener, int flags, int* new_fd, sockaddr_in* peer) {
  int placeholder = real_socket(AF_INET, SOCK_STREAM | (flags & accept_flag_mask),
                              int(IPPROTO_TCP));
  if (placeholder < 0) return errno;
  if (placeholder >= fd_table_size) {
    real_close(placeholder);
    return EMFILE;
  }
  zorvsock_handle* h = take_handshake(listener);
  int err = h == nullptr ? EAGAIN : 0;
  socket_record* r = err == 0 ? connection_record(listener, h, flags) : nullptr;
  if (err == 0 && r == nullptr) err = ENOMEM;
  if (err != 0) {
    if (h != nullptr) zorvsock_release_handle(h);
    real_close(placeholder);
    return err;
  }
  // The connection sends with the listener's TTL (the record's copy) and getsockopt
  // reads the twin's, which takes the listener's options as a kernel connection does.
  copy_twin_options(fd, listener, placeholder);
  *peer = make_inet_address(r->remote_ip, r->remote_port);
  publish_record(r, placeholder);
  *new_fd = placeholder;
  return 0;
}

// The caller's room for the peer's name, checked once a connection waits and before it
// is taken, so that a refusal loses none (the kernel's loses it): 0, or the kernel's
// errno for it.
int name_room_check(const sockaddr* addr, const socklen_t* addrlen) {
  if (addr == nullptr) return 0;
  socklen_t room = 0;
  if (addrlen == nullptr || !read_caller_memory(&room, addrlen, sizeof room)) return EFAULT;
  return int(room) < 0 ? EINVAL : 0;
}

struct accept_call {
  int fd;
  const sockaddr* addr;
  const socklen_t* addrlen;
  int flags;
};

int accept_connection(const accept_call& a, socket_record* listener, int* new_fd,
                      sockaddr_in* peer) {
  if (!socket_kind(listener->kind)) return ENOTSOCK;
  if (listener->type != SOCK_STREAM) return EOPNOTSUPP;
  if (listener->kind != RECORD_TCP_LISTENER || listener->handle == nullptr) return EINVAL;
  if ((a.flags & ~accept_flag_mask) != 0) return EINVAL;
  // SOCK_NONBLOCK is the new descriptor's mode; the listener's own decides the wait.
  const bool may_wait = listener->is_blocking != 0;
  for (;;) {
    if (int err = wait_pending(a.fd, listener, may_wait)) return err;
    if (int err = name_room_check(a.addr, a.addrlen)) return err;
    const int err = take_connection(a.fd, listener, a.flags, new_fd, peer);
    // A handshake that failed leaves nothing to take: a waiting call waits for the next.
    if (err != EAGAIN || !may_wait) return err;
  }
}

}  // namespace

extern "C" int vyx_listen(int fd, int backlog) {
  trace_line(listen_name, "fd=%d backlog=%d\n", fd, backlog);
  const char* reason = nullptr;
  const int err = open_listener(fd, lookup_socket_record(fd), &reason);
  if (reason == nullptr) return leave_handler(listen_name, fd, err);
  fall_back(listen_name, fd, reason);
  return real_listen(fd, backlog);
}

extern "C" int vyx_accept4(int fd, sockaddr* addr, socklen_t* addrlen, int flags) {
  int new_fd = -1;
  sockaddr_in peer{};
  int err = accept_connection({fd, addr, addrlen, flags}, lookup_socket_record(fd), &new_fd, &peer);
  if (err == EBADF) {  // closed by another thread meanwhile: the slot is no longer ours
    errno = EBADF;
    trace_return(accept_name, -1);
    return -1;
  }
  if (err == 0 && addr != nullptr) copy_name_out(peer, addr, addrlen);
  release_slot(fd);
  if (err != 0) {
    errno = err;
    trace_return(accept_name, -1);
    return -1;
  }
  trace_return(accept_name, new_fd);
  return new_fd;
}

extern "C" int vyx_accept(int fd, sockaddr* addr, socklen_t* addrlen) {
  return vyx_accept4(fd, addr, addrlen, 0);
}
