// The UDP configure calls: a fresh handle becomes a UDP session (plain, multicast with
// the kernel's group membership, or receive-only on a group under a mask); a plain
// configure on a UDP handle retargets it.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "devname.h"
#include "text_util.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

constexpr int ERR_INVAL = -EINVAL;
constexpr int ERR_ISCONN = -EISCONN;
constexpr uint32_t MASK_ALL = 0xFFFFFFFFu;

bool resolves(const char* ifname) {
  return !kvel::resolve_interface(kvel::split_vlan_name(ifname).name.c_str()).dev_path.empty();
}

// The set-up that every configure call runs on a fresh handle: ring size, session, TX
// time-stamp log and corrections. The handle becomes HANDLE_UDP unless the session
// itself could not be made.
int setup_udp_session(zorvsock_handle* h, const char* ifname) {
  // Only an even count of 2 KiB units is a whole number of 4 KiB pages.
  if (h->rx_buffer % 2 == 0) h->udp.rx_ring_bytes_ = h->rx_buffer * 2048;
  const int rc = h->udp.init(ifname);
  if (rc < 0) return rc;
  if (h->tx_ts_entries > 0)
    kvel::create_tx_timestamp_log(h->udp.ts_log_, h->udp.fd_, h->tx_ts_entries);
  kvel::read_ts_config(h->ts_cfg, ifname);
  setup_ts_adjustment(h, HANDLE_UDP);
  h->kind = HANDLE_UDP;
  return 0;
}

// A port of the interface's address that the kernel gives to nobody else while the
// handle holds the socket bound to it; a negative errno when there is none.
int reserve_local_port(zorvsock_handle* h) {
  h->reserve_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (h->reserve_fd < 0) return -errno;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(h->udp.itf_->address);
  socklen_t len = sizeof sin;
  if (bind(h->reserve_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
      getsockname(h->reserve_fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
    return -errno;
  return ntohs(sin.sin_port);
}

// The local port asked for, or a reserved one for 0. A session left on port 0 would
// take every datagram to its address and send from port 0: no reservation, an error.
int settle_local_port(zorvsock_handle* h, uint16_t lport) {
  if (lport != 0) return lport;
  const int port = reserve_local_port(h);
  return port == 0 ? -EADDRNOTAVAIL : port;
}

// Joins the group on the named interface through a kernel socket that stays a member
// until the handle is released.
int join_group(zorvsock_handle* h, const char* ifname, uint32_t group) {
  if (h->mcast_fd != -1) return 0;  // a member already, or membership left to the caller
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return -1;
  ip_mreqn mreq{};
  mreq.imr_multiaddr.s_addr = htonl(group);
  mreq.imr_ifindex = int(if_nametoindex(ifname));
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
    close(fd);
    return -1;
  }
  h->mcast_fd = fd;
  return 0;
}

// The datagram TTL for destination dst: the multicast TTL for a group, else the TTL.
uint8_t ttl_for(const zorvsock_handle* h, uint32_t dst) {
  return kvel::is_multicast(dst) ? h->mcast_ttl : h->ttl;
}

// A new destination (and local port) for a UDP session. Failures are reported, and a
// destination that does not resolve sends nothing (zorvudp_v2::dst_unresolved_): it
// would send into nowhere. Without an address the session answers the last sender, as
// after a configure. A change between a unicast and a multicast destination brings
// the TTL of the new kind; within one kind the TTL stays as set up.
int retarget(zorvsock_handle* h, uint16_t lport, uint32_t dst, uint16_t dport) {
  vyx::zorvudp_v2& udp = h->udp;
  int rc = 0;
  if (lport != 0 && lport != udp.local_port_) rc = udp.change_local_port(lport);
  if (kvel::is_multicast(dst) != kvel::is_multicast(udp.dst_ip_))
    udp.tx_desc_.ttl = ttl_for(h, dst);
  udp.dst_ip_ = dst;
  udp.dst_port_ = dport;
  udp.tx_desc_.dst_port = dport;
  const int resolved = udp.resolve_destination();
  return rc != 0 ? rc : resolved;
}

}  // namespace

extern "C" int zorvsock_udp_configure(zorvsock_handle* h, const char* ifname, uint16_t lport,
                                      uint32_t dst, uint16_t dport) {
  if (!h) return ERR_INVAL;
  if (h->kind == HANDLE_UDP) return retarget(h, lport, dst, dport);
  if (h->kind != HANDLE_NONE) return ERR_ISCONN;
  int rc = setup_udp_session(h, ifname);
  if (rc < 0) return rc;
  h->udp.tx_desc_.ttl = ttl_for(h, dst);
  rc = settle_local_port(h, lport);
  if (rc < 0) return rc;
  return h->udp.set_rx_filter(uint16_t(rc), dst, dport, 0, 0);
}

extern "C" int zorvsock_udp_configure_multicast(zorvsock_handle* h, const char* ifname,
                                                uint16_t lport, uint32_t dst, uint16_t dport,
                                                uint32_t group) {
  if (!h) return ERR_INVAL;
  if (h->kind != HANDLE_NONE) return ERR_ISCONN;
  if (!resolves(ifname)) return ERR_INVAL;
  int rc = setup_udp_session(h, ifname);
  if (rc < 0) return rc;
  h->udp.tx_desc_.ttl = h->mcast_ttl;
  rc = settle_local_port(h, lport);
  if (rc < 0) return rc;
  if (group == 0) return ERR_INVAL;
  rc = h->udp.set_rx_filter(uint16_t(rc), dst, dport, group, MASK_ALL);
  if (rc < 0) return rc;
  return join_group(h, ifname, group);
}

extern "C" int zorvsock_udp_configure_rx_multicast_mask(zorvsock_handle* h, const char* ifname,
                                                        uint32_t group, uint32_t mask) {
  if (!h) return ERR_INVAL;
  if (h->kind != HANDLE_NONE) return ERR_ISCONN;
  if (!resolves(ifname)) return ERR_INVAL;
  const int rc = setup_udp_session(h, ifname);
  if (rc < 0) return rc;
  if (group == 0 || mask == MASK_ALL) return ERR_INVAL;
  return h->udp.set_rx_filter(0, 0, 0, group, mask);
}

extern "C" int zorvsock_disable_multicast(zorvsock_handle* h) {
  if (!h) return ERR_INVAL;
  if (h->mcast_fd == -1) h->mcast_fd = -2;
  return 0;
}
