// The card interface that datagrams to a multicast group leave by. The kernel's route
// table rarely names groups: a group is sent on the interface chosen with
// IP_MULTICAST_IF, or else on the device of the socket's bound address.
#pragma once
#include <cstdint>

#include "socket_record.h"

namespace kvel {

// True with the interface name and source address when dst is a group that the socket
// sends on a card interface of its own choice; false when the route decides.
bool group_interface(const socket_record* r, uint32_t dst, char* ifname, uint32_t* src);

}  // namespace kvel
