#include "handoff_access.h"

#include <grp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace zorvd {
namespace {

// The supplementary groups the peer had when it connected; empty when the kernel
// cannot tell (then only its own group counts).
std::vector<gid_t> peer_groups(int conn) {
  std::vector<gid_t> groups(64);
  for (int tries = 0; tries < 2; ++tries) {
    socklen_t len = socklen_t(groups.size() * sizeof(gid_t));
    if (getsockopt(conn, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
      groups.resize(len / sizeof(gid_t));
      return groups;
    }
    if (errno != ERANGE) break;
    groups.resize(len / sizeof(gid_t));  // the kernel said how many there are
  }
  return {};
}

bool in_group(int conn, const ucred& cred, const handoff_group& group) {
  if (!group.exists) return false;
  if (cred.gid == group.gid) return true;
  for (gid_t g : peer_groups(conn))
    if (g == group.gid) return true;
  return false;
}

}  // namespace

handoff_group find_handoff_group(const char* name) {
  handoff_group g;
  g.name = name;
  if (const group* entry = getgrnam(name)) {
    g.exists = true;
    g.gid = entry->gr_gid;
  }
  return g;
}

bool peer_may_have_packet_socket(int conn, const handoff_group& group) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
    puts("kvel: Refused a packet socket to a client whose credentials cannot be read");
    return false;
  }
  if (cred.uid == 0 || in_group(conn, cred, group)) return true;
  printf("kvel: Refused a packet socket to pid %d (uid %u): neither root nor in group %s\n",
         int(cred.pid), unsigned(cred.uid), group.name.c_str());
  return false;
}

}  // namespace zorvd
