// libzorvload_unsafe: no lock per descriptor. One global mutex covers the clearing of a
// slot in close; close frees a record only once no call is working on it. A call marks
// itself inside the slot in its thread's entry (slot_owner.h) with a plain store, which
// close sees after its fence; a call made while its thread is already inside another
// slot, or without an entry, is counted in the slot instead (a locked instruction).
// Compiled in when the build selects it (ZORVLOAD_UNSAFE 1).
#if ZORVLOAD_UNSAFE
#include <atomic>
#include <cstdio>
#include <pthread.h>
#include <sched.h>

#include "fd_lock.h"
#include "slot_owner.h"

namespace kvel {

namespace {

struct fd_slot {
  std::atomic<socket_record*> record{nullptr};
  std::atomic<uint32_t> generation{0};  // changed by assign and close, read by any caller
  // Calls between their claim and release that are not marked in their thread's entry,
  // counted by the callers themselves; close waits for zero. Sequentially consistent with
  // the record's clearing: a call either sees the record gone or is counted before close
  // looks.
  std::atomic<uint32_t> users{0};
};

fd_slot _vyx_fd_table[fd_table_size];
pthread_mutex_t fd_table_lock = PTHREAD_MUTEX_INITIALIZER;

// The mark, then the record: close clears the record, fences, then looks at the marks,
// so that a call either sees the record gone or is seen inside.
bool enter_marked(int fd) {
  slot_owner* me = this_thread_owner();
  if (me == nullptr || me->inside.load(std::memory_order_relaxed) != -1) return false;
  me->inside.store(fd, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return true;
}

}  // namespace

socket_record* lookup_socket_record(int fd) {
  if (unsigned(fd) >= unsigned(fd_table_size)) return nullptr;
  return _vyx_fd_table[fd].record.load(std::memory_order_acquire);
}

bool claim_slot(int fd) {
  if (lookup_socket_record(fd) == nullptr) return false;
  fd_slot& slot = _vyx_fd_table[fd];
  if (!enter_marked(fd)) slot.users.fetch_add(1);
  if (slot.record.load(std::memory_order_acquire) != nullptr) return true;
  release_slot(fd);
  return false;
}

// Claims never wait in this design.
slot_claim try_claim_slot(int fd) { return claim_slot(fd) ? slot_claim::claimed : slot_claim::empty; }

void release_slot(int fd) {
  slot_owner* me = this_thread_owner_if_made();
  if (me != nullptr && me->inside.load(std::memory_order_relaxed) == fd) {
    me->inside.store(-1, std::memory_order_release);
    return;
  }
  _vyx_fd_table[fd].users.fetch_sub(1);
}

uint32_t slot_generation(int fd) {
  return _vyx_fd_table[fd].generation.load(std::memory_order_acquire);
}

void assign_fd_slot(socket_record* record, int fd) {
  _vyx_fd_table[fd].generation.fetch_add(1, std::memory_order_acq_rel);
  if (_vyx_fd_table[fd].record.exchange(record, std::memory_order_acq_rel) != nullptr)
    fputs("kvel: Internal error _vyx_fd_table[fd] != NULL when assigning new socket\n", stderr);
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
  release_slot(fd);
  fence_all_threads();
  while (slot.users.load() != 0 || any_thread_inside(fd)) sched_yield();
  return record;
}

// The counts of calls that other threads were making are gone with those threads.
void reset_locks_after_fork() {
  pthread_mutex_init(&fd_table_lock, nullptr);
  forget_other_threads_after_fork();
  for (int fd = 0, end = fd_table_end(); fd < end; ++fd)
    _vyx_fd_table[fd].users.store(0, std::memory_order_relaxed);
}

}  // namespace kvel

#endif  // ZORVLOAD_UNSAFE
