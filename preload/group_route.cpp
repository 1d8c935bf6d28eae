#include "group_route.h"

#include <cstring>
#include <sys/socket.h>

#include "route_lookup.h"
#include "text_util.h"

namespace kvel {

bool group_interface(const socket_record* r, uint32_t dst, char* ifname, uint32_t* src) {
  if (!is_multicast(dst) || r->type != SOCK_DGRAM) return false;
  if (r->multicast_if_set == 0 && r->bind_ip == 0) return false;
  memcpy(ifname, r->ifname, sizeof r->ifname);
  *src = r->bind_ip != 0 ? r->bind_ip : lookup_interface_address(ifname);
  return *src != 0 && card_interface(ifname);
}

}  // namespace kvel
