#include "slot_owner.h"

#include <cerrno>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kvel {

namespace {

// Entries are never freed, only handed to the next thread once their thread has ended,
// so that a slot may keep naming its owner's entry whatever becomes of the thread: the
// next thread to get the entry simply owns those slots. Static storage, so that taking
// an entry never allocates (a handler may run inside a signal handler).
constexpr int pool_size = 4096;
slot_owner pool[pool_size];

pthread_key_t exit_key;
pthread_once_t exit_key_once = PTHREAD_ONCE_INIT;

// Runs in the ending thread: a call it still makes afterwards (another key's destructor
// closing a socket) takes a fresh entry rather than one that another thread may get.
void give_back(void* entry) {
  auto* owner = static_cast<slot_owner*>(entry);
  current_owner = nullptr;
  owner->inside.store(-1, std::memory_order_release);
  owner->in_use.store(false, std::memory_order_release);
}

void make_exit_key() { pthread_key_create(&exit_key, give_back); }

long membarrier(int cmd) { return syscall(SYS_membarrier, cmd, 0, 0); }

// The fast fence needs the process registered once; without it no thread becomes an
// owner, and every call takes the slot's mutex. 1 registered, -1 refused, 0 not asked
// yet: two threads may both ask (registering twice does no harm), and no lock is held
// that a fork could leave taken in the child.
std::atomic<int> fence_state{0};

bool fences_available() {
  int state = fence_state.load(std::memory_order_acquire);
  if (state == 0) {
    const int saved = errno;
    state = membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0 ? 1 : -1;
    errno = saved;
    fence_state.store(state, std::memory_order_release);
  }
  return state == 1;
}

// One past the highest entry ever taken: the scans stop there.
std::atomic<int> pool_end{0};

slot_owner* take_entry() {
  for (int i = 0; i < pool_size; ++i) {
    slot_owner& entry = pool[i];
    bool free = false;
    if (entry.in_use.load(std::memory_order_relaxed) ||
        !entry.in_use.compare_exchange_strong(free, true, std::memory_order_acq_rel))
      continue;
    int end = pool_end.load(std::memory_order_relaxed);
    while (end <= i && !pool_end.compare_exchange_weak(end, i + 1, std::memory_order_relaxed)) {
    }
    return &entry;
  }
  return nullptr;
}

}  // namespace

thread_local slot_owner* current_owner = nullptr;

slot_owner* this_thread_owner() {
  if (current_owner != nullptr || !fences_available()) return current_owner;
  pthread_once(&exit_key_once, make_exit_key);
  current_owner = take_entry();
  if (current_owner != nullptr) pthread_setspecific(exit_key, current_owner);
  return current_owner;
}

bool any_thread_inside(int fd) {
  for (int i = 0, end = pool_end.load(std::memory_order_acquire); i < end; ++i)
    if (pool[i].inside.load(std::memory_order_acquire) == fd) return true;
  return false;
}

void forget_other_threads_after_fork() {
  for (int i = 0, end = pool_end.load(std::memory_order_relaxed); i < end; ++i) {
    if (&pool[i] == current_owner) continue;
    pool[i].inside.store(-1, std::memory_order_relaxed);
    pool[i].in_use.store(false, std::memory_order_relaxed);
  }
  if (current_owner != nullptr) current_owner->inside.store(-1, std::memory_order_relaxed);
}

void fence_all_threads() {
  const int saved = errno;
  // Registered, the expedited fence cannot fail; the global one is the slow stand-in.
  if (membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) membarrier(MEMBARRIER_CMD_GLOBAL);
  errno = saved;
}

}  // namespace kvel
