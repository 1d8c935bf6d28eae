// The pause of a blocking call between two polls, the same in both locking designs.
#include <sched.h>

#include "fd_lock.h"

namespace kvel {

bool pause_slot(int fd, uint32_t generation) {
  release_slot(fd);
  // The slot's mutex is not fair: without a yield the waiting caller would take it back
  // at once and the other callers on this descriptor would starve behind it.
  sched_yield();
  return reclaim_slot(fd, generation);
}

bool reclaim_slot(int fd, uint32_t generation) {
  if (!claim_slot(fd)) return false;
  if (slot_generation(fd) == generation) return true;
  release_slot(fd);
  return false;
}

}  // namespace kvel
