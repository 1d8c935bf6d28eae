// Making, finding and ending emulated epoll sets, and the hand-over of a member that
// falls back to the kernel.
#include "epoll_set.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"
#include "socket_records.h"
#include "trace_log.h"

namespace kvel {

namespace {

// The slot generation of each descriptor that was made an epoll set, 0 for none: a
// fallback looks only at these. Written by epoll_create1 and cleared by the walk that
// finds the set gone, from any thread: atomics. An entry outlives its set until then,
// and the generation tells a set from a later record on the same number.
std::atomic<uint32_t> set_generation[fd_table_size];

// The member for fd of `generation` leaves the table for the kernel's set.
void hand_over(int epfd, epoll_set* set, int fd, uint32_t generation) {
  pthread_mutex_lock(&set->lock);
  for (int i = 0; i < set->count; ++i) {
    epoll_member& m = set->members[i];
    if (m.fd != fd || m.generation != generation) continue;
    epoll_event reg = m.reg;
    if (!m.armed) reg.events = 0;
    m.fd = -1;
    compact_members(set);
    // A forked child's set is its parent's kernel set too, where the parent may have
    // put the member already.
    if (real_epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &reg) == 0 || errno == EEXIST)
      ++set->kernel_count;
    break;
  }
  pthread_mutex_unlock(&set->lock);
}

}  // namespace

void free_epoll_set(epoll_set* set) {
  if (set == nullptr) return;
  pthread_mutex_destroy(&set->lock);
  free(set);
}

epoll_set* epoll_set_of(int fd) {
  socket_record* r = lookup_socket_record(fd);
  return r != nullptr && r->kind == RECORD_EPOLL ? r->epoll : nullptr;
}

bool is_epoll_set(int fd) {
  if (unsigned(fd) >= unsigned(fd_table_size)) return false;
  const uint32_t made = set_generation[fd].load(std::memory_order_acquire);
  return made != 0 && made == slot_generation(fd);
}

void compact_members(epoll_set* set) {
  int kept = 0;
  int start = 0;
  for (int i = 0; i < set->count; ++i) {
    if (i == set->start) start = kept;
    if (set->members[i].fd >= 0) set->members[kept++] = set->members[i];
  }
  set->count = kept;
  set->start = kept == 0 ? 0 : start % kept;
}

void hand_members_to_kernel(int fd, uint32_t generation) {
  const int saved = errno;
  for (int epfd = 0, end = fd_table_end(); epfd < end; ++epfd) {
    uint32_t made = set_generation[epfd].load(std::memory_order_acquire);
    if (made == 0) continue;
    if (!claim_slot(epfd)) {
      set_generation[epfd].compare_exchange_strong(made, 0);
      continue;
    }
    epoll_set* set = slot_generation(epfd) == made ? epoll_set_of(epfd) : nullptr;
    if (set != nullptr) hand_over(epfd, set, fd, generation);
    release_slot(epfd);
    if (set == nullptr) set_generation[epfd].compare_exchange_strong(made, 0);
  }
  errno = saved;
}

void reset_epoll_locks_after_fork() {
  for (int fd = 0, end = fd_table_end(); fd < end; ++fd)
    if (epoll_set* set = epoll_set_of(fd)) pthread_mutex_init(&set->lock, nullptr);
}

}  // namespace kvel

using namespace kvel;

extern "C" int vyx_epoll_create1(int flags) {
  trace_line("vyx_epoll_create1", "%X\n", unsigned(flags));
  const int fd = real_epoll_create1(flags);
  if (fd < 0 || fd >= fd_table_size) return fd;
  socket_record* record = alloc_socket_record();
  auto* set = static_cast<epoll_set*>(record != nullptr ? calloc(1, sizeof(epoll_set)) : nullptr);
  if (set == nullptr) {
    free(record);
    real_close(fd);
    errno = ENOMEM;
    return -1;
  }
  pthread_mutex_init(&set->lock, nullptr);
  record->kind = RECORD_EPOLL;
  record->epoll = set;
  publish_record(record, fd);
  set_generation[fd].store(slot_generation(fd), std::memory_order_release);
  trace_line("vyx_epoll_create1", "leave %d\n", fd);
  return fd;
}

// Every epoll set is made emulated; epoll_create's size only has to be positive.
extern "C" int vyx_epoll_create(int size) {
  if (size > 0) return vyx_epoll_create1(0);
  errno = EINVAL;
  return -1;
}
