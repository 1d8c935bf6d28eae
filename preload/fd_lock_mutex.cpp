// libzorvload: one call at a time on each descriptor. The thread that last held a slot
// owns it and enters it without a locked instruction (slot_owner.h); every other thread
// takes the slot's mutex, takes the slot from its owner and becomes its owner in turn.
// Compiled in when the build selects it (ZORVLOAD_UNSAFE 0).
#if !ZORVLOAD_UNSAFE
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include "fd_lock.h"
#include "slot_owner.h"

namespace kvel {

namespace {

// Statically initialised, so that records made before the constructors run (from another
// library's constructor) find a usable lock and survive start-up.
struct fd_slot {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<socket_record*> record{nullptr};
  std::atomic<uint32_t> generation{0};  // changed by assign and close, read by any caller
  // The thread that enters without the mutex; null none. Changed only by the mutex's
  // holder, while `taken` is set or before any owner was named; read by the owner itself
  // after it marked itself inside, and by the mutex's holder.
  std::atomic<slot_owner*> owner{nullptr};
  // The mutex's holder has the slot and the owner must not enter: set and cleared by the
  // holder (cleared with release), read with acquire by the owner as it enters.
  std::atomic<uint8_t> taken{0};
};

fd_slot _vyx_fd_table[fd_table_size];

// The slots this thread holds, innermost last. A signal handler that calls into a
// descriptor its interrupted call holds (a write to the eventfd the thread waits on, the
// usual wake-up) enters it again on top of that call instead of waiting for itself:
// `depth` counts such entries. Touched only by the thread itself and its handlers;
// initial-exec, so that a handler reads it without a call.
struct held_slot {
  int fd;
  int depth;
};
constexpr int held_max = 8;  // a call holds at most an epoll set and one member at once
[[gnu::tls_model("initial-exec")]] thread_local held_slot held_slots[held_max];
[[gnu::tls_model("initial-exec")]] thread_local int held_count = 0;

held_slot* held_by_this_thread(int fd) {
  for (int i = held_count - 1; i >= 0; --i)
    if (held_slots[i].fd == fd) return &held_slots[i];
  return nullptr;
}

void note_held(int fd) {
  if (held_count < held_max) held_slots[held_count++] = held_slot{fd, 0};
}

void note_left(int fd) {
  for (int i = held_count - 1; i >= 0; --i) {
    if (held_slots[i].fd != fd) continue;
    held_slots[i] = held_slots[--held_count];
    return;
  }
}

// An entry on top of this thread's own hold of fd.
bool enter_again(int fd) {
  held_slot* h = held_by_this_thread(fd);
  if (h == nullptr) return false;
  ++h->depth;
  return true;
}

// Leaves an entry made on top of this thread's own hold.
bool leave_again(int fd) {
  held_slot* h = held_by_this_thread(fd);
  if (h == nullptr || h->depth == 0) return false;
  --h->depth;
  return true;
}

// The owner's way in: mark itself inside, then look whether the slot was taken from it.
// The compiler barrier keeps that order; the processor's is kept by the taker's fence
// (fence_all_threads), so that the owner and a taker never both go on.
bool enter_as_owner(fd_slot& slot, int fd) {
  slot_owner* me = this_thread_owner_if_made();
  if (me == nullptr || slot.owner.load(std::memory_order_relaxed) != me ||
      me->inside.load(std::memory_order_relaxed) != -1)
    return false;
  me->inside.store(fd, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (slot.taken.load(std::memory_order_acquire) == 0 &&
      slot.owner.load(std::memory_order_relaxed) == me)
    return true;
  me->inside.store(-1, std::memory_order_release);
  return false;
}

// Entered with the mutex held: marks the slot taken and fences when another thread owns
// it. Returns that owner (null when there is none to wait for).
slot_owner* take_from_owner(fd_slot& slot) {
  slot_owner* owner = slot.owner.load(std::memory_order_relaxed);
  if (owner == nullptr || owner == this_thread_owner_if_made()) return nullptr;
  slot.taken.store(1, std::memory_order_relaxed);
  fence_all_threads();
  return owner;
}

bool owner_inside(const slot_owner* owner, int fd) {
  return owner != nullptr && owner->inside.load(std::memory_order_acquire) == fd;
}

// The mutex's way in, waiting for the owner to leave: yields first, then short sleeps,
// so that an owner inside a long call is not raced by a spinning waiter.
void enter_locked(fd_slot& slot, int fd) {
  pthread_mutex_lock(&slot.mutex);
  const slot_owner* owner = take_from_owner(slot);
  for (int turns = 0; owner_inside(owner, fd); ++turns) {
    if (turns < 100) {
      sched_yield();
      continue;
    }
    const int saved = errno;  // an interrupted sleep must not show through the call
    const timespec pause{0, 20'000};
    nanosleep(&pause, nullptr);
    errno = saved;
  }
}

// The mutex's way out. keep_owner: the slot goes back to the thread that owned it (a
// member that turned out busy); otherwise this thread owns it now.
void leave_locked(fd_slot& slot, bool keep_owner) {
  if (!keep_owner) {
    if (slot_owner* me = this_thread_owner()) slot.owner.store(me, std::memory_order_relaxed);
  }
  slot.taken.store(0, std::memory_order_release);
  pthread_mutex_unlock(&slot.mutex);
}

}  // namespace

socket_record* lookup_socket_record(int fd) {
  if (unsigned(fd) >= unsigned(fd_table_size)) return nullptr;
  return _vyx_fd_table[fd].record.load(std::memory_order_acquire);
}

bool claim_slot(int fd) {
  if (lookup_socket_record(fd) == nullptr) return false;
  fd_slot& slot = _vyx_fd_table[fd];
  if (!enter_again(fd)) {
    if (!enter_as_owner(slot, fd)) enter_locked(slot, fd);
    note_held(fd);
  }
  if (lookup_socket_record(fd) != nullptr) return true;
  release_slot(fd);
  return false;
}

slot_claim try_claim_slot(int fd) {
  if (lookup_socket_record(fd) == nullptr) return slot_claim::empty;
  fd_slot& slot = _vyx_fd_table[fd];
  if (!enter_again(fd)) {
    if (!enter_as_owner(slot, fd)) {
      if (pthread_mutex_trylock(&slot.mutex) != 0) return slot_claim::busy;
      if (owner_inside(take_from_owner(slot), fd)) {
        leave_locked(slot, true);
        return slot_claim::busy;
      }
    }
    note_held(fd);
  }
  if (lookup_socket_record(fd) != nullptr) return slot_claim::claimed;
  release_slot(fd);
  return slot_claim::empty;
}

// The owner knows itself by its mark: any other holder came through the mutex.
void release_slot(int fd) {
  if (leave_again(fd)) return;
  note_left(fd);
  slot_owner* me = this_thread_owner_if_made();
  if (me != nullptr && me->inside.load(std::memory_order_relaxed) == fd) {
    me->inside.store(-1, std::memory_order_release);
    return;
  }
  leave_locked(_vyx_fd_table[fd], false);
}

uint32_t slot_generation(int fd) {
  return _vyx_fd_table[fd].generation.load(std::memory_order_acquire);
}

void assign_fd_slot(socket_record* record, int fd) {
  fd_slot& slot = _vyx_fd_table[fd];
  enter_locked(slot, fd);
  if (slot.record.load(std::memory_order_relaxed) != nullptr)
    fputs("kvel: Internal error _vyx_fd_table[fd] != NULL when assigning new socket\n", stderr);
  slot.generation.fetch_add(1, std::memory_order_acq_rel);
  slot.record.store(record, std::memory_order_release);
  leave_locked(slot, false);
  note_slot_used(fd);
}

socket_record* take_record_for_close(int fd) {
  fd_slot& slot = _vyx_fd_table[fd];
  socket_record* record = slot.record.exchange(nullptr, std::memory_order_acq_rel);
  slot.generation.fetch_add(1, std::memory_order_acq_rel);
  release_slot(fd);
  return record;
}

// The child has only the forking thread: owners that were other threads are gone.
void reset_locks_after_fork() {
  forget_other_threads_after_fork();
  const slot_owner* me = this_thread_owner_if_made();
  for (int fd = 0, end = fd_table_end(); fd < end; ++fd) {
    fd_slot& slot = _vyx_fd_table[fd];
    pthread_mutex_init(&slot.mutex, nullptr);
    if (slot.owner.load(std::memory_order_relaxed) != me)
      slot.owner.store(nullptr, std::memory_order_relaxed);
    slot.taken.store(0, std::memory_order_relaxed);
  }
}

}  // namespace kvel

#endif  // !ZORVLOAD_UNSAFE
