#include "udp_destination.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>

namespace kvel {

long aim_datagram(data_call& c, const sockaddr* dest, socklen_t len) {
  if (len < sizeof(sockaddr_in)) return -EINVAL;
  sockaddr_in to;
  memcpy(&to, dest, sizeof to);
  if (to.sin_family != AF_INET || to.sin_port == 0) return aim_kernel;
  socket_record* r = c.rec;
  const uint32_t ip = ntohl(to.sin_addr.s_addr);
  const uint16_t port = ntohs(to.sin_port);
  if (ip == r->remote_ip && port == r->remote_port) return aim_card;
  if (zorvsock_udp_configure(r->handle, r->ifname, 0, ip, port) == 0) {
    r->remote_ip = ip;
    r->remote_port = port;
    return aim_card;
  }
  zorvsock_udp_configure(r->handle, r->ifname, 0, r->remote_ip, r->remote_port);
  return aim_kernel;
}

}  // namespace kvel
