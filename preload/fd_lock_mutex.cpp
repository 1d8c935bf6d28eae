// libzorvload: one mutex per descriptor serialises every call on it.
// Compiled in when the build selects it (ZORVLOAD_UNSAFE 0).
#if !ZORVLOAD_UNSAFE
#include <atomic>
#include <cstdio>
#include <pthread.h>

#include "fd_lock.h"

namespace kvel {

namespace {

// Statically initialised, so that records made before the constructors run (from another
// library's constructor) find a usable lock and survive start-up.
struct fd_slot {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<socket_record*> record{nullptr};
  std::atomic<uint32_t> generation{0};  // changed by assign and close, read by any caller
};

fd_slot _vyx_fd_table[fd_table_size];

}  // namespace

socket_record* lookup_socket_record(int fd) {
  if (unsigned(fd) >= unsigned(fd_table_size)) return nullptr;
  return _vyx_fd_table[fd].record.load(std::memory_order_acquire);
}

bool claim_slot(int fd) {
  if (lookup_socket_record(fd) == nullptr) return false;
  pthread_mutex_lock(&_vyx_fd_table[fd].mutex);
  if (lookup_socket_record(fd) != nullptr) return true;
  pthread_mutex_unlock(&_vyx_fd_table[fd].mutex);
  return false;
}

slot_claim try_claim_slot(int fd) {
  if (lookup_socket_record(fd) == nullptr) return slot_claim::empty;
  if (pthread_mutex_trylock(&_vyx_fd_table[fd].mutex) != 0) return slot_claim::busy;
  if (lookup_socket_record(fd) != nullptr) return slot_claim::claimed;
  pthread_mutex_unlock(&_vyx_fd_table[fd].mutex);
  return slot_claim::empty;
}

void release_slot(int fd) { pthread_mutex_unlock(&_vyx_fd_table[fd].mutex); }

uint32_t slot_generation(int fd) {
  return _vyx_fd_table[fd].generation.load(std::memory_order_acquire);
}

void assign_fd_slot(socket_record* record, int fd) {
  fd_slot& slot = _vyx_fd_table[fd];
  pthread_mutex_lock(&slot.mutex);
  if (slot.record.load(std::memory_order_relaxed) != nullptr)
    printf("kvel: Internal error _vyx_fd_table[fd] != NULL when assigning new socket\n");
  slot.generation.fetch_add(1, std::memory_order_acq_rel);
  slot.record.store(record, std::memory_order_release);
  pthread_mutex_unlock(&slot.mutex);
  note_slot_used(fd);
}

socket_record* take_record_for_close(int fd) {
  fd_slot& slot = _vyx_fd_table[fd];
  socket_record* record = slot.record.exchange(nullptr, std::memory_order_acq_rel);
  slot.generation.fetch_add(1, std::memory_order_acq_rel);
  pthread_mutex_unlock(&slot.mutex);
  return record;
}

void begin_record_change() {}
void end_record_change() {}

void visit_records(void (*check)(int fd, socket_record* record)) {
  for (int fd = 0, end = fd_table_end(); fd < end; ++fd) {
    fd_slot& slot = _vyx_fd_table[fd];
    if (lookup_socket_record(fd) == nullptr || pthread_mutex_trylock(&slot.mutex) != 0) continue;
    if (socket_record* record = lookup_socket_record(fd)) check(fd, record);
    pthread_mutex_unlock(&slot.mutex);
  }
}

void reset_locks_after_fork() {
  for (int fd = 0, end = fd_table_end(); fd < end; ++fd)
    pthread_mutex_init(&_vyx_fd_table[fd].mutex, nullptr);
}

}  // namespace kvel

#endif  // !ZORVLOAD_UNSAFE
