// The queue that carries a page's write-event register writes from the device-access
// layer to the card simulator, in memory the two share (a memfd passed with the page's
// mmap reply, beside the simulator's wake eventfd). A write on a card is one posted
// store; here it is one slot of this queue: the writer reserves a position, fills its
// slot and publishes it with a release store, and the simulator takes the slots in
// position order, so it sees every write in the order written, none missed.
//
// Writers are any thread of any process that maps the page (the application's thread
// and a connection's worker both ring the ACK doorbell), so a position is reserved with
// one compare-and-swap of the tail. The simulator sleeps only after it has set
// `sleeping` and then found the tail where it has taken up to; a writer reads `sleeping`
// after its reservation and, when it is set, clears it and signals the wake eventfd.
// Both orders are sequentially consistent, so either the writer sees the flag (or
// another writer cleared it and signals) or the simulator sees the new tail: no wake-up
// is lost. A zero-filled queue is empty and ready.
#pragma once
#include <atomic>
#include <cstdint>

#include "kvel_sim_proto.h"

namespace kvel {

constexpr uint64_t SIM_EVENT_SLOTS = 256;  // a power of two

struct sim_event_slot {
  // 2 x lap while the slot is free for position lap x SIM_EVENT_SLOTS + index, one more
  // once that position's write is in it. The writer that reserved the position stores
  // the odd value (release); the simulator, having taken the write, the next lap's even
  // value (release).
  std::atomic<uint64_t> turn;
  // Written by the writer that reserved the slot before it publishes turn; read by the
  // simulator after it sees turn published.
  uint32_t offset;  // of the register within its page
  uint32_t reserved;
  uint64_t value;
};

struct sim_event_queue {
  // The next position to reserve: advanced by the writers (compare-and-swap), read by
  // the simulator before it sleeps.
  alignas(64) std::atomic<uint64_t> tail;
  // Nonzero while the simulator sleeps or is about to: set by the simulator before it
  // sleeps and cleared when it wakes; read by each writer after its reservation, and
  // cleared by the one that wakes it. A new queue is made with it set, so a writer wakes
  // a simulator that went to sleep before the queue existed.
  alignas(64) std::atomic<uint32_t> sleeping;
  alignas(64) sim_event_slot slots[SIM_EVENT_SLOTS];
};

static_assert(sizeof(sim_event_queue) <= SIM_EVENT_QUEUE_BYTES, "the queue fits its memfd");
static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "the queue's words are shared between processes");

inline uint64_t sim_event_free_turn(uint64_t pos) { return 2 * (pos / SIM_EVENT_SLOTS); }

// The writer's part: reserves a position and publishes the write in its slot. False,
// with nothing written, while the queue is full (the simulator has not yet taken the
// write a lap ago). True also tells, in *wake, whether the simulator said it sleeps.
inline bool sim_event_put(sim_event_queue* q, uint32_t offset, uint64_t value, bool* wake) {
  uint64_t pos = q->tail.load(std::memory_order_relaxed);
  sim_event_slot* slot;
  for (;;) {
    slot = &q->slots[pos % SIM_EVENT_SLOTS];
    const uint64_t turn = slot->turn.load(std::memory_order_acquire);
    if (turn < sim_event_free_turn(pos)) return false;
    if (turn == sim_event_free_turn(pos) &&
        q->tail.compare_exchange_weak(pos, pos + 1, std::memory_order_seq_cst,
                                      std::memory_order_relaxed))
      break;
    if (turn != sim_event_free_turn(pos)) pos = q->tail.load(std::memory_order_relaxed);
  }
  slot->offset = offset;
  slot->value = value;
  slot->turn.store(sim_event_free_turn(pos) + 1, std::memory_order_release);
  // One wake-up per sleep: the writer that clears the flag sends it, the writers after
  // it find the simulator woken.
  *wake = q->sleeping.load(std::memory_order_seq_cst) != 0 &&
          q->sleeping.exchange(0, std::memory_order_seq_cst) != 0;
  return true;
}

// The simulator's part: the write at position *head, if it is there (*head advances).
inline bool sim_event_take(sim_event_queue* q, uint64_t* head, uint32_t* offset, uint64_t* value) {
  sim_event_slot* slot = &q->slots[*head % SIM_EVENT_SLOTS];
  if (slot->turn.load(std::memory_order_acquire) != sim_event_free_turn(*head) + 1) return false;
  *offset = slot->offset;
  *value = slot->value;
  slot->turn.store(sim_event_free_turn(*head + SIM_EVENT_SLOTS), std::memory_order_release);
  ++*head;
  return true;
}

// The simulator is about to sleep, having taken everything up to head: false when a
// writer has reserved a position since (the flag is then cleared again, and the
// simulator stays awake for it).
inline bool sim_event_sleep(sim_event_queue* q, uint64_t head) {
  q->sleeping.store(1, std::memory_order_seq_cst);
  if (q->tail.load(std::memory_order_seq_cst) == head) return true;
  q->sleeping.store(0, std::memory_order_relaxed);
  return false;
}

inline void sim_event_awake(sim_event_queue* q) { q->sleeping.store(0, std::memory_order_relaxed); }

}  // namespace kvel
