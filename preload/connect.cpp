// connect on a managed socket: a destination behind a card interface gets a hardware TCP
// connection or UDP session, any other goes to the kernel with its logged reason.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include "fd_lock.h"
#include "group_route.h"
#include "handlers.h"
#include "real_calls.h"
#include "route_lookup.h"
#include "socket_setup.h"
#include "trace_log.h"
#include "wait_deadline.h"
#include "wait_signals.h"

using namespace kvel;

namespace {

constexpr char name[] = "vyx_connect";

struct destination {
  uint32_t ip;
  uint16_t port;
};

int leave(int fd, int err) { return leave_handler(name, fd, err); }

// A connect that leaves while the handshake goes on: EINPROGRESS, its outcome then told
// as a non-blocking connect's.
int still_connecting(int fd, socket_record* r) {
  r->pending = 1;
  return leave(fd, EINPROGRESS);
}

// A refused connect told to its caller: the error is cleared then, as the kernel's.
int refused(int fd, socket_record* r) {
  r->error_told = 1;
  return leave(fd, ECONNREFUSED);
}

// The wait of a blocking connect: the slot is given up between polls, so that close or
// another call on the descriptor go on meanwhile. SO_SNDTIMEO ends it as the kernel's;
// a signal handler too (wait_signals.h), with EINTR, the connection going on.
int wait_connected(int fd, socket_record* r) {
  const uint32_t generation = slot_generation(fd);
  wait_deadline until = wait_deadline::of(r->snd_timeout_us);
  wait_signals signals;
  for (;;) {
    const int state = zorvsock_tcp_get_status(r->handle);
    if (state == ZORVSOCK_TCP_CLOSED) return refused(fd, r);
    if (state >= ZORVSOCK_TCP_ESTABLISHED) return leave(fd, 0);
    if (until.passed()) return still_connecting(fd, r);
    if (signals.take(until.timeout_us != 0) != 0) {
      r->pending = 1;
      return leave(fd, EINTR);
    }
    if (!pause_slot(fd, generation)) {
      errno = EBADF;
      trace_return(name, -1);
      return -1;
    }
  }
}

// A connect on a socket that is already a connection or listener answers as the kernel
// does and leaves it alone: EALREADY while connecting, the outcome once to the caller of
// a non-blocking connect, EISCONN afterwards.
int connect_again(int fd, socket_record* r) {
  if (r->kind == RECORD_TCP_LISTENER) return leave(fd, EISCONN);
  const int state = zorvsock_tcp_get_status(r->handle);
  if (state == ZORVSOCK_TCP_SYN_ST || state == ZORVSOCK_TCP_SYN_RCV) return leave(fd, EALREADY);
  if (r->pending == 0) return leave(fd, EISCONN);
  r->pending = 0;
  return state == ZORVSOCK_TCP_CLOSED ? refused(fd, r) : leave(fd, 0);
}

int start_tcp(int fd, socket_record* r, destination d) {
  char dotted[16];
  trace_line(name, "tcp connect fd=%d %s:%u (srcp %u)\n", fd, zorvsock_ip2str(dotted, d.ip),
             d.port, r->local_port);
  if (zorvsock_tcp_connect(r->handle, r->ifname, r->local_port, d.ip, d.port) < 0) {
    drop_record(fd);
    trace_line(name, "leave\n");
    errno = ENETUNREACH;
    trace_return(name, -1);
    return -1;
  }
  r->kind = RECORD_TCP;
  r->remote_ip = d.ip;
  r->remote_port = d.port;
  verbose_line(name, "sock->is_blocking %d (%p)\n", r->is_blocking, static_cast<void*>(r));
  if (r->is_blocking == 0) return still_connecting(fd, r);
  return wait_connected(fd, r);
}

// The record takes the new destination only once the session has it: after a failure
// sends still go where they went before.
int start_udp(int fd, socket_record* r, destination d) {
  char dotted[16];
  trace_line(name, "udp setup fd=%d %s:%u (srcp %u)\n", fd, zorvsock_ip2str(dotted, d.ip), d.port,
             r->local_port);
  const int rc = zorvsock_udp_configure(r->handle, r->ifname, r->local_port, d.ip, d.port);
  if (rc < 0) {
    if (r->kind != RECORD_UDP) {
      zorvsock_release_handle(r->handle);
      r->handle = nullptr;
    }
    return leave(fd, -rc);
  }
  r->kind = RECORD_UDP;
  r->remote_ip = d.ip;
  r->remote_port = d.port;
  return leave(fd, 0);
}

// The card interface and source address towards d, or the reason to leave it to the
// kernel.
// The kernel routes an address of this host over lo, so the route names no card
// interface for the card's own address: that one is still the local IP it is.
bool own_card_address(uint32_t ip) {
  char ifname[lookup_name_size] = {};
  return card_interface_of(ip, ifname) == nullptr;
}

const char* route_to(const socket_record* r, destination d, char* ifname, uint32_t* src) {
  if (!group_interface(r, d.ip, ifname, src) && lookup_route_interface(d.ip, ifname, src) < 0)
    return "failed to get name of interface used by destination IP";
  trace_line(name, "connect using nic %s (%08X)\n", ifname, *src);
  if (!card_interface(ifname))
    return own_card_address(d.ip) ? "connecting to a local IP"
                                  : "connect IP does not use zorvnic interface";
  if (*src == d.ip) return "connecting to a local IP";
  return nullptr;
}

// Interface, source and local port into the record; the twin keeps the port reserved
// (a bound socket's twin holds it already).
int settle_local_side(int fd, socket_record* r, const char* ifname, uint32_t src) {
  if (r->local_port == 0) r->local_port = bind_kernel_twin(fd, r, src, 0);
  if (r->local_port == 0) return EADDRNOTAVAIL;
  memcpy(r->ifname, ifname, sizeof r->ifname - 1);
  r->local_ip = src;
  if (r->bind_ip == 0) r->bind_ip = src;
  return 0;
}

int connect_on_card(int fd, socket_record* r, destination d, const sockaddr* addr,
                    socklen_t addrlen) {
  const bool udp = r->type == SOCK_DGRAM;
  trace_line(name, "connect to %X, port=%d (%s)\n", d.ip, d.port, udp ? "UDP" : "TCP");
  char ifname[lookup_name_size] = {};
  uint32_t src = 0;
  const char* reason = route_to(r, d, ifname, &src);
  if (reason == nullptr && !ensure_handle(r)) reason = "cannot allocate zorvnic handle";
  if (reason != nullptr) {
    fall_back(name, fd, reason);
    return real_connect(fd, addr, addrlen);
  }
  if (int err = settle_local_side(fd, r, ifname, src)) return leave(fd, err);
  return udp ? start_udp(fd, r, d) : start_tcp(fd, r, d);
}

// The kernel's answer to a connect it refuses before it looks at the socket's state, or
// at the address of a datagram socket on the card: the socket stays as it was. A stream
// connection or listener on the card answers from its state (connect_again) whatever
// the address but AF_UNSPEC, which (as on a datagram socket) is its disconnect.
int refusal(const socket_record* r, const sockaddr* addr, socklen_t addrlen,
            sa_family_t* family) {
  if (!socket_kind(r->kind)) return ENOTSOCK;
  if (int(addrlen) < int(sizeof *family) || addrlen > sizeof(sockaddr_storage)) return EINVAL;
  if (!read_caller_memory(family, addr, sizeof *family)) return EFAULT;
  if (r->kind != RECORD_UDP || *family == AF_UNSPEC) return 0;
  if (addrlen < sizeof(sockaddr_in)) return EINVAL;
  return *family == AF_INET ? 0 : EAFNOSUPPORT;
}

}  // namespace

extern "C" int vyx_connect(int fd, const sockaddr* addr, socklen_t addrlen) {
  socket_record* r = lookup_socket_record(fd);
  sa_family_t family = 0;
  if (const int err = refusal(r, addr, addrlen, &family)) return leave(fd, err);
  if (r->type == SOCK_STREAM && r->kind != RECORD_INET && family != AF_UNSPEC)
    return connect_again(fd, r);
  sockaddr_in in{};
  const char* reason = nullptr;
  if (addrlen < sizeof in) {
    trace_line(name, "expected sockaddr_in size=%d, got %d\n", int(sizeof in), int(addrlen));
    reason = "wrong size of struct sockaddr_in";
  } else if (!read_caller_memory(&in, addr, sizeof in)) {
    return leave(fd, EFAULT);
  } else if (in.sin_family != AF_INET) {
    reason = "connect not using IPv4/AF_INET";
  }
  if (reason != nullptr) {
    fall_back(name, fd, reason);
    return real_connect(fd, addr, addrlen);
  }
  return connect_on_card(fd, r, {ntohl(in.sin_addr.s_addr), ntohs(in.sin_port)}, addr, addrlen);
}
