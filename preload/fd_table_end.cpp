// The end of the used part of the descriptor table, the same in both locking designs.
#include <atomic>

#include "fd_lock.h"

namespace kvel {

namespace {

// Raised by whoever assigns a slot, read by the passes over the table; it never shrinks.
std::atomic<int> table_end{0};

}  // namespace

void note_slot_used(int fd) {
  int end = table_end.load(std::memory_order_relaxed);
  while (end <= fd && !table_end.compare_exchange_weak(end, fd + 1, std::memory_order_relaxed)) {
  }
}

int fd_table_end() { return table_end.load(std::memory_order_relaxed); }

}  // namespace kvel
