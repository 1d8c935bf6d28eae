// libzorvload_unsafe: no lock per descriptor. One global mutex covers the monitor's
// visits, the switch to listening and the clearing of a slot in close; close then waits,
// so that calls still working on the record notice the empty slot before it is freed.
// Compiled in when the build selects it (ZORVLOAD_UNSAFE 1).
#if ZORVLOAD_UNSAFE
#include <atomic>
#include <cstdio>
#include <pthread.h>
#include <unistd.h>

#include "fd_lock.h"

namespace kvel {

namespace {

constexpr useconds_t close_grace_us = 10000;

struct fd_slot {
  std::atomic<socket_record*> record{nullptr};
  std::atomic<uint32_t> generation{0};  // changed by assign and close, read by any caller
};

fd_slot _vyx_fd_table[fd_table_size];
pthread_mutex_t fd_table_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

socket_record* lookup_socket_record(int fd) {
  if (unsigned(fd) >= unsigned(fd_table_size)) return nullptr;
  return _vyx_fd_table[fd].record.load(std::memory_order_acquire);
}

bool claim_slot(int fd) {
  return lookup_socket_record(fd) != nullptr && lookup_socket_record(fd) != nullptr;
}

void release_slot(int) {}

uint32_t slot_generation(int fd) {
  return _vyx_fd_table[fd].generation.load(std::memory_order_acquire);
}

void assign_fd_slot(socket_record* record, int fd) {
  _vyx_fd_table[fd].generation.fetch_add(1, std::memory_order_acq_rel);
  if (_vyx_fd_table[fd].record.exchange(record, std::memory_order_acq_rel) != nullptr)
    printf("kvel: Internal error _vyx_fd_table[fd] != NULL when assigning new socket\n");
}

socket_record* take_record_for_close(int fd) {
  pthread_mutex_lock(&fd_table_lock);
  socket_record* record = _vyx_fd_table[fd].record.exchange(nullptr, std::memory_order_acq_rel);
  _vyx_fd_table[fd].generation.fetch_add(1, std::memory_order_acq_rel);
  pthread_mutex_unlock(&fd_table_lock);
  usleep(close_grace_us);
  return record;
}

void visit_records(void (*check)(int fd, socket_record* record)) {
  for (int fd = 0; fd < fd_table_size; ++fd) {
    pthread_mutex_lock(&fd_table_lock);
    if (socket_record* record = lookup_socket_record(fd)) check(fd, record);
    pthread_mutex_unlock(&fd_table_lock);
  }
}

void reset_locks_after_fork() { pthread_mutex_init(&fd_table_lock, nullptr); }

}  // namespace kvel

#endif  // ZORVLOAD_UNSAFE
