// bind on a managed socket: an address of a card interface keeps the socket for the card
// (a datagram socket gets its UDP session at once), any other goes to the kernel with its
// logged reason. The kernel twin is bound to the same address and port either way, so
// the port is checked against those in use and stays reserved after a later fallback.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"
#include "route_lookup.h"
#include "socket_setup.h"
#include "trace_log.h"

using namespace kvel;

namespace {

constexpr char name[] = "vyx_bind";

int leave(int fd, int err) { return leave_handler(name, fd, err); }

const char* check_address(const sockaddr* addr, socklen_t addrlen, sockaddr_in* in) {
  sa_family_t family = 0;
  if (addrlen >= sizeof family && read_caller_memory(&family, addr, sizeof family) &&
      family != AF_INET)
    return "bind not using IPv4/AF_INET";
  if (addrlen < sizeof *in) return "wrong size of struct sockaddr_in";
  if (!read_caller_memory(in, addr, sizeof *in)) return "bind address unreadable";
  return nullptr;
}

int open_udp_session(int fd, socket_record* r) {
  if (!ensure_handle(r)) return leave(fd, ENOMEM);
  const int rc = configure_udp_session(r);
  if (rc < 0) return leave(fd, -rc);
  r->kind = RECORD_UDP;
  return leave(fd, 0);
}

// A datagram socket that joined a group on a card interface receives the group there,
// on the port asked for, whichever address it binds to. The twin takes the same bind,
// which checks and keeps the port; the address stays unrecorded, as nothing is bound to
// a card address.
int bind_to_group(int fd, socket_record* r, uint32_t a, uint16_t port) {
  trace_line(name, "multicast bind to %X, port=%d, multicast_group_ip=%X\n", a, port,
             r->multicast_group);
  r->local_port = bind_kernel_twin(fd, r, a, port);
  if (r->local_port == 0) return leave(fd, errno);
  return open_udp_session(fd, r);
}

}  // namespace

extern "C" int vyx_bind(int fd, const sockaddr* addr, socklen_t addrlen) {
  socket_record* r = lookup_socket_record(fd);
  if (!socket_kind(r->kind)) return leave(fd, ENOTSOCK);
  if (r->bind_ip != 0 || r->kind != RECORD_INET) return leave(fd, EINVAL);
  sockaddr_in in{};
  const char* reason = check_address(addr, addrlen, &in);
  uint32_t a = ntohl(in.sin_addr.s_addr);
  const uint16_t port = ntohs(in.sin_port);
  char ifname[lookup_name_size] = {};
  if (reason == nullptr && r->multicast_group != 0 && r->type == SOCK_DGRAM)
    return bind_to_group(fd, r, a, port);
  if (reason == nullptr) {
    trace_line(name, "bind to %X, port=%d\n", a, port);
    if (a == 0) a = default_bind_address();
    if (a == 0) reason = "bind to ANY IP (0.0.0.0) is not supported";
  }
  if (reason == nullptr) reason = card_interface_of(a, ifname);
  if (reason != nullptr) {
    fall_back(name, fd, reason);
    return real_bind(fd, addr, addrlen);
  }
  r->local_port = bind_kernel_twin(fd, r, a, port);
  if (r->local_port == 0) return leave(fd, errno);
  memcpy(r->ifname, ifname, sizeof r->ifname - 1);
  r->local_ip = a;
  r->bind_ip = a;
  if (r->type == SOCK_DGRAM) return open_udp_session(fd, r);
  return leave(fd, 0);
}
