#include "sim_session_table.h"

#include <sys/eventfd.h>
#include <unistd.h>


#include "sim_session.h"

namespace zsim {

sim_session_table::sim_session_table() : wake_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

sim_session_table::~sim_session_table() {
  if (wake_fd >= 0) close(wake_fd);
}

int sim_session_table::free_slot(const sim_port* port, char kind, int limit) const {
  auto it = numbers_used.find({port, kind});
  if (it == numbers_used.end()) return limit > 0 ? 0 : -1;
  const std::vector<bool>& used = it->second;
  for (int slot = 0; slot < limit; ++slot)
    if (size_t(slot) >= used.size() || !used[size_t(slot)]) return slot;
  return -1;
}

void sim_session_table::add(sim_session* s) {
  std::vector<bool>& used = numbers_used[{s->wire, s->kind}];
  if (used.size() <= size_t(s->slot)) used.resize(size_t(s->slot) + 1);
  used[size_t(s->slot)] = true;
  sessions.push_back(s);
  count.store(int(sessions.size()), std::memory_order_relaxed);
  eventfd_write(wake_fd, 1);
}

void sim_session_table::remove(sim_session* s) {
  numbers_used[{s->wire, s->kind}][size_t(s->slot)] = false;
  std::erase(sessions, s);
  count.store(int(sessions.size()), std::memory_order_relaxed);
}

}  // namespace zsim
