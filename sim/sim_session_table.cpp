#include "sim_session_table.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "sim_session.h"

namespace zsim {

sim_session_table::sim_session_table() : wake_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

sim_session_table::~sim_session_table() {
  if (wake_fd >= 0) close(wake_fd);
}

int sim_session_table::free_slot(const sim_port* port, char kind, int limit) const {
  for (int slot = 0; slot < limit; ++slot)
    if (std::none_of(sessions.begin(), sessions.end(), [&](const sim_session* s) {
          return s->wire == port && s->kind == kind && s->slot == slot;
        }))
      return slot;
  return -1;
}

void sim_session_table::add(sim_session* s) {
  sessions.push_back(s);
  count.store(int(sessions.size()), std::memory_order_relaxed);
  eventfd_write(wake_fd, 1);
}

void sim_session_table::remove(sim_session* s) {
  std::erase(sessions, s);
  count.store(int(sessions.size()), std::memory_order_relaxed);
}

}  // namespace zsim
