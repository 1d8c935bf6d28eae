// libzorvload_unsafe: no lock per descriptor. One global mutex covers the monitor's
// visits, every change of a record's kind (listen, connect, bind) and the clearing of a
// slot in close; each slot counts
// the calls working on its record, and close frees a record only once that count has
// dropped to zero, so that no call ever uses a freed record.
// Compiled in when the build selects it (ZORVLOAD_UNSAFE 1).
#if ZORVLOAD_UNSAFE
#include <atomic>
#include <cstdio>
#include <pthread.h>
#include <sched.h>

#include "fd_lock.h"

namespace kvel {

namespace {

struct fd_slot {
  std::atomic<socket_record*> record{nullptr};
  std::atomic<uint32_t> generation{0};  // changed by assign and close, read by any caller
  // Calls between their claim and release, counted by the callers themselves; close waits
  // for zero. Sequentially consistent with the record's clearing: a call either sees the
  // record gone or is counted before close looks.
  std::atomic<uint32_t> users{0};
};

fd_slot _vyx_fd_table[fd_table_size];
pthread_mutex_t fd_table_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

socket_record* lookup_socket_record(int fd) {
  if (unsigned(fd) >= unsigned(fd_table_size)) return nullptr;
  return _vyx_fd_table[fd].record.load(std::memory_order_acquire);
}

bool claim_slot(int fd) {
  if (lookup_socket_record(fd) == nullptr) return false;
  fd_slot& slot = _vyx_fd_table[fd];
  slot.users.fetch_add(1);
  if (slot.record.load() != nullptr) return true;
  slot.users.fetch_sub(1);
  return false;
}

// Claims never wait in this design.
slot_claim try_claim_slot(int fd) { return claim_slot(fd) ? slot_claim::claimed : slot_claim::empty; }

void release_slot(int fd) { _vyx_fd_table[fd].users.fetch_sub(1); }

uint32_t slot_generation(int fd) {
  return _vyx_fd_table[fd].generation.load(std::memory_order_acquire);
}

void assign_fd_slot(socket_record* record, int fd) {
  _vyx_fd_table[fd].generation.fetch_add(1, std::memory_order_acq_rel);
  if (_vyx_fd_table[fd].record.exchange(record, std::memory_order_acq_rel) != nullptr)
    printf("kvel: Internal error _vyx_fd_table[fd] != NULL when assigning new socket\n");
  note_slot_used(fd);
}

// Two closes of one descriptor may both have claimed it: the second finds the slot
// already empty and gets null.
socket_record* take_record_for_close(int fd) {
  fd_slot& slot = _vyx_fd_table[fd];
  pthread_mutex_lock(&fd_table_lock);
  socket_record* record = slot.record.exchange(nullptr);
  slot.generation.fetch_add(1, std::memory_order_acq_rel);
  pthread_mutex_unlock(&fd_table_lock);
  slot.users.fetch_sub(1);
  while (slot.users.load() != 0) sched_yield();
  return record;
}

void begin_record_change() { pthread_mutex_lock(&fd_table_lock); }
void end_record_change() { pthread_mutex_unlock(&fd_table_lock); }

void visit_records(void (*check)(int fd, socket_record* record)) {
  for (int fd = 0, end = fd_table_end(); fd < end; ++fd) {
    if (lookup_socket_record(fd) == nullptr || pthread_mutex_trylock(&fd_table_lock) != 0)
      continue;
    if (socket_record* record = lookup_socket_record(fd)) check(fd, record);
    pthread_mutex_unlock(&fd_table_lock);
  }
}

// The counts of calls that other threads were making are gone with those threads.
void reset_locks_after_fork() {
  pthread_mutex_init(&fd_table_lock, nullptr);
  for (int fd = 0, end = fd_table_end(); fd < end; ++fd)
    _vyx_fd_table[fd].users.store(0, std::memory_order_relaxed);
}

}  // namespace kvel

#endif  // ZORVLOAD_UNSAFE
