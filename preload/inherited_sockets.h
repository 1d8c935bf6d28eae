// Card sockets in a forked child. A card socket's session (its pages, ring and worker)
// belongs to the process that made it: the child's copy of the record cannot reach the
// card without writing the parent's TX window and ring beside it. The child's calls on
// such a socket fail at once with EBADFD, its close forgets the copy (nothing of the
// parent's is touched), and the parent's connection goes on as before.
#pragma once
#include "fd_lock.h"

namespace kvel {

// Read with fd's slot claimed.
inline bool inherited_socket(int fd) {
  const socket_record* r = lookup_socket_record(fd);
  return r != nullptr && r->inherited != 0;
}

// Gives the claimed slot back and fails the call: -1, errno EBADFD, with a trace line.
int refuse_inherited(const char* name, int fd);

}  // namespace kvel
