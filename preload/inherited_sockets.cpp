#include "inherited_sockets.h"

#include <cerrno>

#include "trace_log.h"

namespace kvel {

int refuse_inherited(const char* name, int fd) {
  release_slot(fd);
  trace_line(name, "fd %d is a card socket of the parent process, not usable in a forked child\n",
             fd);
  errno = EBADFD;
  return -1;
}

}  // namespace kvel
