// Who may be handed a packet socket: root, and the members of one group. A packet
// socket can be bound to any interface and send any frame there, which is what
// CAP_NET_RAW guards; the daemon hands it on only to the users the administrator put
// in that group.
#pragma once
#include <sys/types.h>

#include <string>

namespace zorvd {

struct handoff_group {
  std::string name;
  bool exists = false;
  gid_t gid = 0;
};

// The group of that name as the host's group database holds it now.
handoff_group find_handoff_group(const char* name);
// True when the peer of the connected Unix socket conn runs as root, or has the group
// as its own or as a supplementary group (as they were when it connected). A refusal
// is logged with the peer's pid and uid.
bool peer_may_have_packet_socket(int conn, const handoff_group& group);

}  // namespace zorvd
