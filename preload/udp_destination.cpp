#include "udp_destination.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>

#include "group_route.h"
#include "handlers.h"
#include "route_lookup.h"
#include "socket_setup.h"

namespace kvel {

namespace {

// Where the session points now, as the library has it (a connect may have moved it).
sockaddr_in session_target(zorvsock_handle* h) {
  uint32_t ip = 0;
  uint16_t port = 0;
  int ip_len = sizeof ip, port_len = sizeof port;
  zorvsock_get_opt(h, ZORVSOCK_OPT_UDP_REMOTE_IP, &ip, &ip_len);
  zorvsock_get_opt(h, ZORVSOCK_OPT_UDP_REMOTE_PORT, &port, &port_len);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(ip);
  return at;
}

bool aim_at(const socket_record* r, const sockaddr_in& to) {
  return zorvsock_udp_configure(r->handle, r->ifname, 0, ntohl(to.sin_addr.s_addr),
                                ntohs(to.sin_port)) == 0;
}

}  // namespace

long aim_datagram(data_call& c, const sockaddr* dest, socklen_t len) {
  socket_record* r = c.rec;
  if (dest == nullptr) {
    if (r->remote_port == 0) return -EDESTADDRREQ;  // never connected: nowhere to send
    if (r->aimed_away != 0) aim_at(r, make_inet_address(r->remote_ip, r->remote_port));
    r->aimed_away = 0;
    return aim_card;
  }
  sockaddr_in to{};
  if (len < sizeof to) return -EINVAL;
  if (!read_caller_memory(&to, dest, sizeof to)) return -EFAULT;
  if (to.sin_family != AF_INET || to.sin_port == 0) return aim_kernel;
  const sockaddr_in now = session_target(r->handle);
  if (to.sin_addr.s_addr == now.sin_addr.s_addr && to.sin_port == now.sin_port) return aim_card;
  if (!aim_at(r, to)) {
    aim_at(r, now);
    return aim_kernel;
  }
  r->aimed_away = ntohl(to.sin_addr.s_addr) != r->remote_ip || ntohs(to.sin_port) != r->remote_port;
  return aim_card;
}

namespace {

bool behind_card(const socket_record* r, const sockaddr* dest, socklen_t len) {
  sockaddr_in to{};
  if (len < sizeof to || !read_caller_memory(&to, dest, sizeof to) || to.sin_family != AF_INET)
    return false;
  const uint32_t ip = ntohl(to.sin_addr.s_addr);
  char ifname[lookup_name_size] = {};
  uint32_t src = 0;
  if (group_interface(r, ip, ifname, &src)) return true;
  return lookup_route_interface(ip, ifname, &src) == 0 && src != ip && card_interface(ifname);
}

}  // namespace

bool open_session_for(data_call& c, const char* name, const sockaddr* dest, socklen_t len) {
  c.held = false;
  if (!behind_card(c.rec, dest, len)) {
    release_slot(c.fd);
    return false;
  }
  trace_line(name, "calling vyx_connect/UDP\n");
  if (vyx_connect(c.fd, dest, len) != 0 || !claim_slot(c.fd)) return false;
  c.held = true;
  c.rec = lookup_socket_record(c.fd);
  if (slot_generation(c.fd) == c.generation && data_kind(c.rec) == RECORD_UDP) return true;
  release_slot(c.fd);
  c.held = false;
  return false;
}

}  // namespace kvel
