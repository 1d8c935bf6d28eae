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

// This thread's entry; initial-exec, so that the fast path reads it with one load.
[[gnu::tls_model("initial-exec")]] thread_local slot_owner* current = nullptr;

pthread_key_t exit_key;
pthread_once_t exit_key_once = PTHREAD_ONCE_INIT;

// Runs in the ending thread: a call it still makes afterwards (another key's destructor
// closing a socket) takes a fresh entry rather than one that another thread may get.
void give_back(void* entry) {
  auto* owner = static_cast<slot_owner*>(entry);
  current = nullptr;
  owner->inside.store(-1, std::memory_order_release);
  owner->in_use.store(false, std::memory_order_release);
}

void make_exit_key() { pthread_key_create(&exit_key, give_back); }

long membarrier(int cmd) { return syscall(SYS_membarrier, cmd, 0, 0); }

// The fast fence needs the process registered once; without it no thread becomes an
// owner, and every call takes the slot's mutex.
bool fences_available() {
  static const bool registered = [] {
    const int saved = errno;
    const bool ok = membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
    errno = saved;
    return ok;
  }();
  return registered;
}

slot_owner* take_entry() {
  for (slot_owner& entry : pool) {
    bool free = false;
    if (entry.in_use.load(std::memory_order_relaxed) ||
        !entry.in_use.compare_exchange_strong(free, true, std::memory_order_acq_rel))
      continue;
    return &entry;
  }
  return nullptr;
}

}  // namespace

slot_owner* this_thread_owner_if_made() { return current; }

slot_owner* this_thread_owner() {
  if (current != nullptr || !fences_available()) return current;
  pthread_once(&exit_key_once, make_exit_key);
  current = take_entry();
  if (current != nullptr) pthread_setspecific(exit_key, current);
  return current;
}

void fence_all_threads() {
  const int saved = errno;
  // Registered, the expedited fence cannot fail; the global one is the slow stand-in.
  if (membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) membarrier(MEMBARRIER_CMD_GLOBAL);
  errno = saved;
}

}  // namespace kvel
