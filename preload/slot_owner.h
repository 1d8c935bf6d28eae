// The thread that may take a descriptor's slot without its mutex. A locked instruction
// waits until every store before it has left the core, and the card's transmit window is
// written with direct or non-temporal stores that take hundreds of nanoseconds to leave:
// a mutex taken and given back around each send would make every call wait for its own
// lines. So the thread that last held a slot owns it: it enters with plain stores and
// loads, and a thread that wants the slot from it sets the slot's `taken` mark and makes
// every thread of the process pass a full barrier (membarrier) before it looks whether
// the owner is inside.
#pragma once
#include <atomic>

namespace kvel {

struct slot_owner {
  // The descriptor whose slot this thread holds as its owner, -1 none. Written by the
  // thread itself (a plain store to enter, a release store to leave); read with acquire
  // by a thread that takes a slot from it.
  std::atomic<int> inside{-1};
  // The pool entry is in use by a live thread: set by the thread that claims the entry
  // (compare-exchange), cleared by the same thread as it exits.
  std::atomic<bool> in_use{false};
};

// This thread's owner entry, made on first use; null when the pool is spent or the
// process cannot fence other threads (the slots are then taken by their mutex only).
slot_owner* this_thread_owner();

// The entry that this thread already has, null before its first this_thread_owner();
// initial-exec, so that the fast path reads it with one load and no call.
[[gnu::tls_model("initial-exec")]] extern thread_local slot_owner* current_owner;
inline slot_owner* this_thread_owner_if_made() { return current_owner; }

// True while some thread's entry says it is inside fd's slot; read after a fence, so
// that a mark made before it is seen (libzorvload_unsafe's close waits on this).
bool any_thread_inside(int fd);

// A forked child has only the forking thread: the other entries' marks are lost with
// their threads, and the entries go back to the pool.
void forget_other_threads_after_fork();

// Every thread of the process has passed a full memory barrier once this returns: a
// store made before it is seen by any owner's next load, and an owner's store made
// before its load is seen after it.
void fence_all_threads();

}  // namespace kvel
