// shutdown, getsockname, getpeername and the pending error (SO_ERROR) of managed
// sockets, answered from the record and the card's connection state.
#include <cerrno>
#include <sys/socket.h>

#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"
#include "socket_options.h"
#include "socket_setup.h"
#include "trace_log.h"

using namespace kvel;

namespace {

// SHUT_WR sends our FIN after the data written so far; receives go on. SHUT_RD makes
// receives give end of stream. A listener shut for reading takes no more connections
// (a waiting accept ends), as the kernel's does.
int shut_down(socket_record* r, int how) {
  if (how < SHUT_RD || how > SHUT_RDWR) return EINVAL;
  const bool rd = how != SHUT_WR, wr = how != SHUT_RD;
  if (r->kind == RECORD_TCP_LISTENER) {
    if (rd) r->shut_rd = 1;
    return 0;
  }
  const bool connected =
      r->kind == RECORD_TCP || (r->kind == RECORD_UDP && r->remote_ip != 0);
  if (!connected) return ENOTCONN;
  if (wr && r->kind == RECORD_TCP && r->shut_wr == 0) zorvsock_tcp_disconnect(r->handle);
  if (rd) __atomic_store_n(&r->shut_rd, uint8_t(1), __ATOMIC_RELAXED);  // a blocked reader polls it
  if (wr) r->shut_wr = 1;
  return 0;
}

int peer_of(const socket_record* r, sockaddr_in* name) {
  uint32_t ip = r->remote_ip;
  uint16_t port = r->remote_port;
  if (r->kind == RECORD_TCP) {
    if (zorvsock_tcp_get_peer(r->handle, &ip, &port) < 0) return ENOTCONN;
  } else if (r->kind != RECORD_UDP || ip == 0) {
    return ENOTCONN;
  }
  verbose_line("vyx_getpeername", "remote addr %X, port %d\n", ip, port);
  *name = make_inet_address(ip, port);
  return 0;
}

// The pending error of a connection, as the kernel keeps it: none while the handshake
// runs; once the connection is closed, a refused connect to the caller that started it
// without waiting, or a reset from the peer, told once (reading the error clears it);
// none otherwise.
int pending_error(socket_record* r, int state) {
  int value = 0;
  if (state == ZORVSOCK_TCP_CLOSED && r->error_told == 0) {
    if (r->pending != 0) value = ECONNREFUSED;
    else if (zorvsock_tcp_was_reset(r->handle) > 0) value = ECONNRESET;
    r->pending = 0;
    r->error_told = value != 0;
  }
  return value;
}

}  // namespace

extern "C" int vyx_shutdown(int fd, int how) {
  socket_record* r = lookup_socket_record(fd);
  return leave_handler("vyx_shutdown", fd, socket_kind(r->kind) ? shut_down(r, how) : ENOTSOCK);
}

extern "C" int vyx_getsockname(int fd, sockaddr* addr, socklen_t* addrlen) {
  const socket_record* r = lookup_socket_record(fd);
  char dotted[16];
  trace_line("vyx_getsockname", "ip %s, dport %d\n", zorvsock_ip2str(dotted, r->bind_ip),
             r->local_port);
  // Where the kernel twin holds the record's name, the kernel's answer is the record's,
  // with the kernel's own checks of the caller's pointers: one system call, as without
  // the interposer, instead of two more to read the caller's length safely.
  if (r->twin_ip == r->bind_ip && r->twin_port == r->local_port) {
    const int rc = real_getsockname(fd, addr, addrlen);
    return leave_handler("vyx_getsockname", fd, rc == 0 ? 0 : errno);
  }
  const sockaddr_in name = make_inet_address(r->bind_ip, r->local_port);
  return leave_handler("vyx_getsockname", fd, copy_name_out(name, addr, addrlen));
}

extern "C" int vyx_getpeername(int fd, sockaddr* addr, socklen_t* addrlen) {
  sockaddr_in name{};
  const socket_record* r = lookup_socket_record(fd);
  int err = socket_kind(r->kind) ? peer_of(r, &name) : ENOTSOCK;
  if (err == 0) err = copy_name_out(name, addr, addrlen);
  return leave_handler("vyx_getpeername", fd, err);
}

// SO_ERROR of a card connection, for getsockopt.
int kvel::connection_error(socket_record* r) {
  const int state = zorvsock_tcp_get_status(r->handle);
  const int value = pending_error(r, state);
  trace_line("vyx_getsockopt", "SO_ERROR %d (TCP status: %s)\n", value,
             zorvsock_tcp_state_str(state));
  return value;
}

// A receive that finds the connection closed reports its pending error first, as the
// kernel's does, and so clears it for SO_ERROR.
int kvel::take_connection_error(socket_record* r) {
  return pending_error(r, zorvsock_tcp_get_status(r->handle));
}
