// The receive ring that every hardware session embeds. The card writes each packet into
// the next slot of the ring; the library reads it in place and frees the slot later.
//
// A slot begins on a 64-byte line and covers whole 256-byte blocks; it starts with
//   bytes 0..1   u16, bits 13..0 the packet length L (0: nothing written there yet)
//   bytes 2..9   u64, unaligned: receive time, seconds in bits 63..32, ns in 31..0
//   bytes 10..   session-specific fields, up to the slot header length
// and the L packet bytes follow the header. A slot that begins fewer than 256 lines
// before the end of the ring is the last of its lap; the next one begins at line 0.
#pragma once
#include <cstdint>
#include <cstring>

#include "session_ref.h"

namespace kvel {

constexpr int RX_LINE_BYTES = 64;
constexpr int RX_BLOCK_LINES = 4;       // a slot covers whole 256-byte blocks
constexpr int RX_LAP_TAIL_LINES = 256;  // a slot starting within these is the last of its lap
constexpr int RX_SLOT_HDR_LEN = 16;     // unless the identity register says otherwise
constexpr int RX_RING_DEFAULT_BYTES = 4 << 20;
constexpr int RX_RING_MIN_BYTES = 128 << 10;
constexpr int RX_SIZE_ACK_TIMEOUT_MS = 1000;  // for the card to take a new ring size

// The ring size set-up uses for a requested size: the request when it is a whole number
// of 4 KiB pages of at least 128 KiB, else 4 MiB (with a message for a partial page).
int rx_ring_bytes(int requested);

struct rx_dma_ring {
  session_ref owner_{};
  uint8_t* base_ = nullptr;  // the mapped ring; null until set-up
  int size_ = 0;             // bytes
  int lines_ = 0;
  int rdptr_ = 0;            // line of the slot to read next
  int rdptr_written_ = 0;    // last value given to the card's rdptr register
  uint8_t hdr_len_ = RX_SLOT_HDR_LEN;

  // Stops receive, maps a ring of rx_ring_bytes(requested) and starts it (attach).
  // 0; -ENOMEM when the ring cannot be mapped; -ETIMEDOUT when the card does not take
  // the ring size within RX_SIZE_ACK_TIMEOUT_MS.
  int setup_rx_ring(int requested);
  // Starts a stopped card on the mapped ring at base: ring cleared, pointers reset, slot
  // header length taken, receive enabled once the card has taken the size.
  int attach(void* base, int bytes);
  // attach on a ring already cleared.
  int start(void* base, int bytes);
  // Gives back the ring; safe in any state of set-up.
  void unmap();

  uint8_t* slot(int line) const { return base_ + RX_LINE_BYTES * line; }
  uint8_t* current_slot() const { return slot(rdptr_); }
  // The packet length of a slot, 0 while it is empty. The card writes the length last,
  // so the rest of the slot may be read once this is non-zero.
  static int slot_length(const uint8_t* s) {
    return __atomic_load_n(reinterpret_cast<const uint16_t*>(s), __ATOMIC_ACQUIRE) & 0x3fff;
  }
  static uint64_t slot_time(const uint8_t* s) {
    uint64_t t;
    memcpy(&t, s + 2, sizeof t);
    return t;
  }
  // Lines a slot of packet length len covers.
  int slot_lines(int len) const {
    return ((len + hdr_len_ - 1) / RX_LINE_BYTES + RX_BLOCK_LINES) & ~(RX_BLOCK_LINES - 1);
  }
  // Line of the slot after a slot of packet length len at line `line`.
  int next_slot(int line, int len) const {
    const int next = line + slot_lines(len);
    // Past the end only with a length beyond the card's 8 KiB slots: start over rather
    // than read outside the ring.
    return lines_ - line < RX_LAP_TAIL_LINES || next >= lines_ ? 0 : next;
  }
  // Frees the slot at rdptr_ and moves on to the next; tells the card once rdptr_ is more
  // than a quarter of the ring past what it was last told, and at once on a wrap. An
  // empty slot is left alone: moving past it would skip where the card writes next.
  void release_slot();

 private:
  bool wait_size_taken(uint32_t lines) const;
  void publish_rdptr(int line);
};

}  // namespace kvel
