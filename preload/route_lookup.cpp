#include "route_lookup.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include "real_calls.h"

namespace kvel {

namespace {

constexpr size_t reply_size = 2048;

struct route_request {
  nlmsghdr header;
  rtmsg route;
  rtattr dst_attr;
  uint32_t dst;
};

int send_route_request(int sock, uint32_t dest) {
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  if (real_bind(sock, reinterpret_cast<const sockaddr*>(&local), socklen_t(sizeof local)) != 0)
    return -1;
  route_request req{};
  req.header.nlmsg_len = sizeof req;
  req.header.nlmsg_type = RTM_GETROUTE;
  req.header.nlmsg_flags = NLM_F_REQUEST;
  req.header.nlmsg_pid = uint32_t(getpid());
  req.route.rtm_family = AF_INET;
  req.route.rtm_dst_len = 32;
  req.route.rtm_table = RT_TABLE_MAIN;
  req.dst_attr.rta_len = RTA_LENGTH(sizeof req.dst);
  req.dst_attr.rta_type = RTA_DST;
  req.dst = htonl(dest);
  return real_send(sock, static_cast<const void*>(&req), sizeof req, 0) == ssize_t(sizeof req)
             ? 0
             : -1;
}

void read_route_attributes(const nlmsghdr* msg, char* ifname, uint32_t* src) {
  const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(msg));
  int left = int(RTM_PAYLOAD(msg));
  for (const rtattr* a = RTM_RTA(route); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
    if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof(uint32_t)) {
      uint32_t index;
      memcpy(&index, RTA_DATA(a), sizeof index);
      char name[IF_NAMESIZE] = {};
      if (if_indextoname(index, name) != nullptr) memcpy(ifname, name, IF_NAMESIZE);
    } else if (a->rta_type == RTA_PREFSRC && RTA_PAYLOAD(a) >= sizeof(uint32_t)) {
      uint32_t addr;
      memcpy(&addr, RTA_DATA(a), sizeof addr);
      *src = ntohl(addr);
    }
  }
}

int parse_route_reply(const char* reply, int len, char* ifname, uint32_t* src) {
  int result = 0;
  for (auto* msg = reinterpret_cast<const nlmsghdr*>(reply); NLMSG_OK(msg, len);
       msg = NLMSG_NEXT(msg, len)) {
    if (msg->nlmsg_type == NLMSG_ERROR) return -1;
    if (msg->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) break;
    read_route_attributes(msg, ifname, src);
    result = 1;
  }
  return result;
}

}  // namespace

int lookup_route_netlink(uint32_t dest, char* ifname, uint32_t* src) {
  *src = 0;
  int sock = real_socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (sock < 0) return -1;
  alignas(nlmsghdr) char reply[reply_size] = {};
  int result = -1;
  if (send_route_request(sock, dest) == 0) {
    ssize_t n = real_recv(sock, static_cast<void*>(reply), sizeof reply, 0);
    if (n >= 0) result = parse_route_reply(reply, int(n), ifname, src);
  }
  real_close(sock);
  return result;
}

int lookup_interface_by_subnet(uint32_t addr, char* ifname, uint32_t* if_addr) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return -1;
  int result = -1;
  for (const ifaddrs* e = list; e != nullptr && result != 0; e = e->ifa_next) {
    if (e->ifa_addr == nullptr || e->ifa_netmask == nullptr || e->ifa_addr->sa_family != AF_INET)
      continue;
    uint32_t ip = ntohl(reinterpret_cast<const sockaddr_in*>(e->ifa_addr)->sin_addr.s_addr);
    uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(e->ifa_netmask)->sin_addr.s_addr);
    if (((ip ^ addr) & mask) != 0) continue;
    strncpy(ifname, e->ifa_name, IF_NAMESIZE - 1);
    ifname[IF_NAMESIZE - 1] = '\0';
    *if_addr = ip;
    result = 0;
  }
  freeifaddrs(list);
  return result;
}

uint32_t lookup_interface_address(const char* ifname) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  uint32_t found = 0;
  for (const ifaddrs* e = list; e != nullptr && found == 0; e = e->ifa_next)
    if (e->ifa_addr != nullptr && e->ifa_addr->sa_family == AF_INET &&
        strcmp(e->ifa_name, ifname) == 0)
      found = ntohl(reinterpret_cast<const sockaddr_in*>(e->ifa_addr)->sin_addr.s_addr);
  freeifaddrs(list);
  return found;
}

int lookup_route_interface(uint32_t dest, char* ifname, uint32_t* src) {
  if (lookup_route_netlink(dest, ifname, src) >= 1) return 0;
  return lookup_interface_by_subnet(dest, ifname, src);
}

bool card_interface(const char* ifname) { return strncmp(ifname, "kvel", 4) == 0; }

const char* card_interface_of(uint32_t a, char* ifname) {
  uint32_t if_addr = 0;
  if (lookup_interface_by_subnet(a, ifname, &if_addr) < 0)
    return "failed to get name of interface of IP to bind to";
  if (!card_interface(ifname)) return "bind IP does not use zorvnic interface";
  if (if_addr != a) return "bind IP does not match zorvnic interface IP";
  return nullptr;
}

}  // namespace kvel
