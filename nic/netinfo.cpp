#include "netinfo.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "unaligned.h"
#include "sys_calls.h"

namespace kvel {

namespace {

constexpr int ROUTE_DUMP_MAX_RECEIVES = 10000;
// Dump datagrams are often larger than a page; a bigger one grows the buffer.
constexpr size_t ROUTE_DUMP_BUFFER = 32768;
constexpr int NEIGHBOUR_LOOKUPS = 51;
constexpr useconds_t NEIGHBOUR_PAUSE_US = 10000;
constexpr uint16_t NEIGHBOUR_PROVOKE_PORT = 65534;
constexpr size_t NL_HDRLEN = NLMSG_ALIGN(sizeof(nlmsghdr));
constexpr size_t ROUTE_ATTRS_AT = NL_HDRLEN + NLMSG_ALIGN(sizeof(rtmsg));

bool mac_is_zero(const uint8_t mac[6]) {
  for (int i = 0; i < 6; i++)
    if (mac[i]) return false;
  return true;
}

uint32_t prefix_mask(unsigned prefix_len) {
  if (prefix_len == 0) return 0;
  if (prefix_len >= 32) return 0xFFFFFFFFu;
  return ~0u << (32 - prefix_len);
}

// One interface ioctl on a private datagram socket; false when it fails.
// A longer name would be cut to one of another interface.
bool if_query(const char* ifname, unsigned long request, ifreq* req) {
  const size_t len = strnlen(ifname, IFNAMSIZ);
  if (len >= IFNAMSIZ) return false;
  memset(req, 0, sizeof *req);
  memcpy(req->ifr_name, ifname, len);
  int fd = sys_socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = sys_ioctl(fd, request, req) == 0;
  sys_close(fd);
  return ok;
}

uint32_t if_query_ipv4(const char* ifname, unsigned long request) {
  ifreq req;
  if (!if_query(ifname, request, &req)) return 0;
  sockaddr_in sin;
  memcpy(&sin, &req.ifr_addr, sizeof sin);
  return ntohl(sin.sin_addr.s_addr);
}

// The route attributes of one RTM_NEWROUTE message.
void parse_route_attributes(const uint8_t* attr, size_t left, route_entry* e) {
  while (left > 3) {
    rtattr a;
    memcpy(&a, attr, sizeof a);
    if (a.rta_len < sizeof a || a.rta_len > left) return;
    const uint8_t* payload = attr + RTA_LENGTH(0);
    bool has_u32 = a.rta_len >= RTA_LENGTH(4);
    if (has_u32 && a.rta_type == RTA_DST) e->destination = ntohl(load_u32(payload));
    if (has_u32 && a.rta_type == RTA_GATEWAY) e->gateway = ntohl(load_u32(payload));
    if (has_u32 && a.rta_type == RTA_PRIORITY) e->metric = int32_t(load_u32(payload));
    if (has_u32 && a.rta_type == RTA_OIF && !if_indextoname(load_u32(payload), e->ifname))
      e->ifname[0] = '\0';
    size_t step = RTA_ALIGN(a.rta_len);
    if (step >= left) return;
    attr += step;
    left -= step;
  }
}

// Stores the route of one message at d.table[d.count]; true when it counts. A route
// without an output interface (a multipath route names its interfaces per next hop)
// does not: left in the table, its empty name would end the table there and hide the
// routes after it.
bool store_route(route_dump& d, const uint8_t* msg, size_t len) {
  rtmsg rt;
  memcpy(&rt, msg + NL_HDRLEN, sizeof rt);
  route_entry* e = &d.table[d.count];
  *e = route_entry{};
  e->mask = prefix_mask(rt.rtm_dst_len);
  if (len > ROUTE_ATTRS_AT) parse_route_attributes(msg + ROUTE_ATTRS_AT, len - ROUTE_ATTRS_AT, e);
  e->if_addr = e->ifname[0] ? get_if_ip(e->ifname) : 0;
  e->prefix_len = rt.rtm_dst_len;
  if (!e->ifname[0]) return false;
  return !d.filter || strcmp(e->ifname, d.filter) == 0;
}

int open_route_socket() {
  int fd = sys_socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    perror("socket");
    return -1;
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    perror("bind");
    sys_close(fd);
    return -1;
  }
  return fd;
}

bool send_route_dump_request(int fd) {
  struct {
    nlmsghdr hdr;
    rtmsg rt;
  } req{};
  req.hdr.nlmsg_len = sizeof req;
  req.hdr.nlmsg_type = RTM_GETROUTE;
  req.hdr.nlmsg_flags = NLM_F_REQUEST | NLM_F_ROOT;
  req.hdr.nlmsg_pid = uint32_t(getpid());
  req.rt.rtm_family = AF_INET;
  // Without the request nothing would ever arrive, and the receive would wait forever.
  if (send(fd, &req, sizeof req, 0) != ssize_t(sizeof req)) {
    perror("send");
    return false;
  }
  return true;
}

// Receives one whole datagram into buf, growing it when the datagram is larger.
ssize_t receive_datagram(int fd, std::vector<uint8_t>& buf) {
  ssize_t n;
  do {
    n = recv(fd, buf.data(), 0, MSG_PEEK | MSG_TRUNC);
    if (n > ssize_t(buf.size())) buf.resize(size_t(n));
    if (n >= 0) n = recv(fd, buf.data(), buf.size(), 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Walks the route dump on fd until its end, a failure or the table is full.
void read_route_dump(int fd, route_dump& d) {
  std::vector<uint8_t> buf(ROUTE_DUMP_BUFFER);
  for (int i = 0; i < ROUTE_DUMP_MAX_RECEIVES; i++) {
    ssize_t n = receive_datagram(fd, buf);
    if (n < 0) {
      perror("recv");
      return;
    }
    if (route_dump_datagram(d, buf.data(), size_t(n))) return;
  }
}

bool neighbour_provoke(uint32_t hop, const char* ifname) {
  int fd = sys_socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // Resolve on the session's interface, where the lookup looks for the answer; where
  // the device cannot be chosen the kernel's own route decides.
  if (ifname) sys_setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, ifname, socklen_t(strlen(ifname)));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(NEIGHBOUR_PROVOKE_PORT);
  to.sin_addr.s_addr = htonl(hop);
  bool sent = sys_sendto(fd, nullptr, 0, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to),
                         sizeof to) >= 0;
  if (!sent) perror("arp udp sendto: ");
  sys_close(fd);
  return sent;
}

// One line of the ARP table; 1 when it counts (mac written), 0 when it does not, -1
// when it is malformed.
int arp_line(const char* line, uint32_t ip, uint8_t mac[6], const char* ifname) {
  char addr[16], dev[16];
  unsigned hw_type, flags, b[6];
  if (sscanf(line, "%15s 0x%x 0x%x %02x:%02x:%02x:%02x:%02x:%02x * %15s", addr, &hw_type,
             &flags, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], dev) != 10)
    return -1;
  in_addr parsed;
  if (inet_pton(AF_INET, addr, &parsed) != 1 || ntohl(parsed.s_addr) != ip) return 0;
  if (ifname && strcmp(dev, ifname) != 0) return 0;
  if (if_nametoindex(dev) == 0) return 0;  // an entry left by a vanished device
  for (int i = 0; i < 6; i++) mac[i] = uint8_t(b[i]);
  return 1;
}

}  // namespace

bool route_dump_datagram(route_dump& d, const uint8_t* data, size_t len) {
  while (len >= NL_HDRLEN) {
    nlmsghdr h;
    memcpy(&h, data, sizeof h);
    if (h.nlmsg_len < NL_HDRLEN || h.nlmsg_len > len) return false;
    // An error answers the whole request: nothing follows it.
    if (h.nlmsg_type == NLMSG_DONE || h.nlmsg_type == NLMSG_ERROR) return true;
    bool unicast = h.nlmsg_type == RTM_NEWROUTE && h.nlmsg_len >= NL_HDRLEN + sizeof(rtmsg) &&
                   data[NL_HDRLEN + offsetof(rtmsg, rtm_type)] == RTN_UNICAST;
    if (unicast && store_route(d, data, h.nlmsg_len) && ++d.count >= d.max) return true;
    size_t step = NLMSG_ALIGN(h.nlmsg_len);
    if (step >= len) return false;
    data += step;
    len -= step;
  }
  return false;
}

int read_route_table(route_entry* table, int max, const char* ifname_filter) {
  if (max <= 0) return 0;
  int fd = open_route_socket();
  if (fd < 0) return 0;
  route_dump d{table, max, ifname_filter, 0};
  if (send_route_dump_request(fd)) read_route_dump(fd, d);
  sys_close(fd);
  // Also over a route that the filter left out, so that the table always ends here.
  table[d.count] = route_entry{};
  return d.count;
}

void route_tables::init() {
  memset(table_, 0, sizeof table_);
  current_ = nullptr;
}

int route_tables::refresh(const char* ifname_filter) {
  route_entry* spare = current_ == table_[0] ? table_[1] : table_[0];
  int n = read_route_table(spare, ROUTE_TABLE_MAX, ifname_filter);
  if (n > 0) current_ = spare;
  return n;
}

if_info* make_if_info(const char* name) {
  auto* itf = new if_info{};
  itf->name = name;
  itf->ifindex = int32_t(if_nametoindex(name));
  get_if_mac(name, itf->mac);
  uint32_t address = get_if_ip(name), netmask = get_if_netmask(name);
  if (address && netmask) {
    itf->address = address;
    itf->netmask = netmask;
  }
  return itf;
}

int select_next_hop(uint32_t dst, const if_info& itf, const route_entry* table,
                    uint32_t* next_hop) {
  *next_hop = 0;
  if (((dst ^ itf.address) & itf.netmask) == 0) {
    if (dst == 0) return -EHOSTUNREACH;
    *next_hop = dst;
    return 0;
  }
  if (!table) return -EHOSTUNREACH;
  const route_entry* best = nullptr;
  for (int i = 0; i < ROUTE_TABLE_SIZE && table[i].ifname[0]; i++) {
    const route_entry& r = table[i];
    if ((dst & r.mask) != r.destination) continue;
    if (!best || r.prefix_len > best->prefix_len ||
        (r.prefix_len == best->prefix_len && r.metric < best->metric))
      best = &r;
  }
  if (!best) return -EHOSTUNREACH;
  *next_hop = best->gateway ? best->gateway : dst;
  return 0;
}

int resolve_neighbour_mac(uint32_t hop, const char* ifname, uint8_t mac[6]) {
  if (arp_lookup(hop, mac, ifname) == 0) return 0;
  if (!neighbour_provoke(hop, ifname)) return -EHOSTUNREACH;
  for (int i = 0; i < NEIGHBOUR_LOOKUPS; i++) {
    if (i > 0) usleep(NEIGHBOUR_PAUSE_US);
    if (arp_lookup(hop, mac, ifname) == 0) return 0;
  }
  return -EHOSTUNREACH;
}

int arp_lookup_file(const char* path, uint32_t ip, uint8_t mac[6], const char* ifname) {
  FILE* f = fopen(path, "re");
  if (!f) return -1;
  char line[256];
  int found = -1;
  if (fgets(line, sizeof line, f)) {
    int r = 0;
    while (r == 0 && fgets(line, sizeof line, f)) r = arp_line(line, ip, mac, ifname);
    // An incomplete entry (all zeros) is there but has no address yet.
    if (r == 1) found = mac_is_zero(mac) ? -1 : 0;
  }
  fclose(f);
  return found;
}

int arp_lookup(uint32_t ip, uint8_t mac[6], const char* ifname) {
  return arp_lookup_file("/proc/net/arp", ip, mac, ifname);
}

uint32_t get_if_ip(const char* ifname) { return if_query_ipv4(ifname, SIOCGIFADDR); }

uint32_t get_if_netmask(const char* ifname) { return if_query_ipv4(ifname, SIOCGIFNETMASK); }

int get_if_mac(const char* ifname, uint8_t mac[6]) {
  ifreq req;
  if (!if_query(ifname, SIOCGIFHWADDR, &req)) return -1;
  memcpy(mac, req.ifr_hwaddr.sa_data, 6);
  return 0;
}

uint8_t read_default_ttl(const char* path) {
  std::ifstream in(path);
  int ttl = -1;
  if (in >> ttl && ttl >= 0 && ttl <= 255) return uint8_t(ttl);
  return 64;
}

uint8_t get_default_ttl() { return read_default_ttl("/proc/sys/net/ipv4/ip_default_ttl"); }

int read_urandom(void* buf, size_t count) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buf, count);
  close(fd);
  return n == ssize_t(count) ? 0 : -1;
}

}  // namespace kvel
