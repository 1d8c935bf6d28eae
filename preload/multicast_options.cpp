// IP_ADD_MEMBERSHIP and IP_MULTICAST_IF on a managed socket. The kernel twin always
// takes the option too, so the host's group membership (IGMP) is the kernel's and a
// later fallback finds the kernel socket configured; the card session takes the group
// or the sending interface when that interface is a card interface, and otherwise the
// socket goes to the kernel.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>

#include "route_lookup.h"
#include "socket_options.h"
#include "socket_setup.h"
#include "trace_log.h"

namespace kvel {

namespace {

constexpr char name[] = "vyx_setsockopt";

// The three words of a struct ip_mreqn; a struct ip_mreq or in_addr fills the first ones.
struct membership {
  uint32_t group;    // host order
  uint32_t address;  // host order
  int index;
};

bool read_membership(const option_call& o, membership* m) {
  ip_mreqn raw{};
  const size_t n = o.len < sizeof raw ? o.len : sizeof raw;
  if (o.value == nullptr || !read_caller_memory(&raw, o.value, n)) return false;
  *m = {ntohl(raw.imr_multiaddr.s_addr), ntohl(raw.imr_address.s_addr), raw.imr_ifindex};
  return true;
}

// The interface of a membership: by the address's subnet, or (a struct ip_mreqn with no
// address) by index, whose own address then stands in for the one the caller left out.
// Null, or the reason to leave the socket to the kernel.
const char* membership_interface(const option_call& o, const membership& m, char* ifname,
                                 uint32_t* if_addr) {
  uint32_t wanted = m.address;
  if (m.address != 0 || o.len < sizeof(ip_mreqn)) {
    if (lookup_interface_by_subnet(m.address, ifname, if_addr) < 0)
      return "failed to get name of interface used by multicast IP_ADD_MEMBERSHIP";
  } else {
    if (m.index <= 0 || if_indextoname(unsigned(m.index), ifname) == nullptr ||
        (*if_addr = lookup_interface_address(ifname)) == 0)
      return "failed to get name of interface used by multicast IP_ADD_MEMBERSHIP/imr_ifindex";
    wanted = *if_addr;
  }
  if (!card_interface(ifname)) return "IP_ADD_MEMBERSHIP IF-IP does not use zorvnic interface";
  if (*if_addr != wanted) return "IP_ADD_MEMBERSHIP IF-IP does not match zorvnic interface IP";
  return nullptr;
}

// A socket already bound on the card gets a session of the group on the same port; a
// connected one keeps its destination, so that its sends still go where they went.
int remake_udp_session(socket_record* r) {
  zorvsock_release_handle(r->handle);
  r->handle = nullptr;
  if (!ensure_handle(r)) {
    trace_line(name, "Cannot alocate zorvnic handle\n");
    return EPERM;
  }
  const int rc = configure_udp_session(r);
  return rc < 0 ? -rc : 0;
}

}  // namespace

int add_membership(option_call& o) {
  socket_record* r = o.rec;
  membership m{};
  if (o.len < sizeof(ip_mreq)) return EINVAL;
  if (!read_membership(o, &m)) return EFAULT;
  if (r->multicast_group != 0) {
    trace_line(name, "Cannot do IP_ADD_MEMBERSHIP multiple times on same socket\n");
    return EPERM;
  }
  char ifname[lookup_name_size] = {};
  uint32_t if_addr = 0;
  o.reason = membership_interface(o, m, ifname, &if_addr);
  if (o.reason != nullptr) return 0;
  if (const int err = kernel_option(o)) {
    trace_line(name, "IP_ADD_MEMBERSHIP failed in kernel setsockopt\n");
    return err;
  }
  r->local_ip = if_addr;
  memcpy(r->ifname, ifname, sizeof r->ifname - 1);
  r->multicast_group = m.group;
  return r->kind == RECORD_UDP ? remake_udp_session(r) : 0;
}

int set_multicast_interface(option_call& o) {
  membership m{};
  if (o.value == nullptr || o.len < sizeof(in_addr)) return EINVAL;
  if (!read_membership(o, &m)) return EFAULT;
  kernel_option(o);
  // As the kernel reads the value: a struct ip_mreqn from 12 bytes on, a struct ip_mreq
  // from 8, an in_addr below; the address is the first word of an in_addr, the second of
  // the two structs.
  const uint32_t a = o.len < sizeof(ip_mreq) ? m.group : m.address;
  char ifname[lookup_name_size] = {};
  if (o.len >= sizeof(ip_mreqn) && a == 0) {
    if (m.index <= 0 || if_indextoname(unsigned(m.index), ifname) == nullptr)
      o.reason = "IP_MULTICAST_IF IF-index is not for an zorvnic";
    else if (!card_interface(ifname))
      o.reason = "IP_MULTICAST_IF could not get interface IP";
  } else if (a == 0) {
    o.reason = "IP_MULTICAST_IF could not get interface IP";
  } else {
    uint32_t if_addr = 0;
    lookup_interface_by_subnet(a, ifname, &if_addr);
    if (!card_interface(ifname) || if_addr != a)
      o.reason = "IP_MULTICAST_IF IF-IP does not match zorvnic interface IP";
  }
  if (o.reason != nullptr) return 0;
  memcpy(o.rec->ifname, ifname, sizeof o.rec->ifname - 1);
  o.rec->multicast_if_set = 1;
  return 0;
}

}  // namespace kvel
