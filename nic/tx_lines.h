// Which bytes go into which line of one send, for the write routines that store each
// 64-byte line in one piece (MOVDIR64B, one 512-bit store). The routines pass their store
// instructions as `store_first` and `store`; with the function inlined, so are they, and
// a test can pass plain copies to check the lines on a processor that lacks the
// instruction.
//
// To keep whole-line stores, reads run past the end of the payload up to the end of its
// last line, but never into the next 4 KiB page: that page may be unmapped. Such reads are
// on purpose, hence no checks of the address or thread sanitizer here (a freed block
// beside the payload may share its page).
#pragma once
#include <cstdint>
#include <cstring>

#include "tx_pio.h"

// The attributes of every function that makes such reads.
#define TX_READS_PAST_PAYLOAD gnu::no_sanitize_address, gnu::no_sanitize_thread

namespace kvel {

// True when `bytes` bytes from p stay within p's 4 KiB page.
inline bool tx_read_stays_in_page(const void* p, int bytes) {
  return (reinterpret_cast<uintptr_t>(p) & 0xfff) <= uintptr_t(4096 - bytes);
}

// True when the 32 bytes from p, of which the first n (0..32) are the caller's, may be
// read in place. With n 0 there is nothing to read: p may then be null or point just
// past the end of a buffer, as for a send without payload.
inline bool tx_load32_in_place(const void* p, int n) {
  return n >= 32 || (n > 0 && tx_read_stays_in_page(p, 32));
}

// Stores a line made of two 32-byte halves: the descriptor and the first payload bytes.
using tx_first_line_store = void (*)(void* line, const void* desc, const void* payload32);
// Stores the 64 bytes at src as a line.
using tx_line_store = void (*)(void* line, const void* src);

// One send in whole lines: credits as tx_pio::reserve with max_polls + 2 polls; the first
// line from the descriptor and payload 0..31 (in place, or from a zeroed buffer holding
// them when they are fewer than 32 near a page end); full lines in place; a partial last
// line in place unless 64 bytes from it would leave its page, then from a buffer.
// Results as tx_pio::write.
[[gnu::always_inline, TX_READS_PAST_PAYLOAD]] inline int tx_write_lines(
    tx_pio& tx, const void* data, int len, const void* desc, int max_polls,
    tx_first_line_store store_first, tx_line_store store) {
  const int taken = tx.reserve(len, max_polls + 2);
  if (taken < 0) return taken;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  alignas(64) uint8_t buf[TX_LINE_BYTES];
  const void* head = p;
  if (!tx_load32_in_place(p, len)) {
    memset(buf, 0, 32);
    if (len > 0) memcpy(buf, p, size_t(len));
    head = buf;
  }
  store_first(tx.take_line(), desc, head);
  int left = len - 32;
  if (left <= 0) return 0;
  for (p += 32; left >= TX_LINE_BYTES; left -= TX_LINE_BYTES, p += TX_LINE_BYTES)
    store(tx.take_line(), p);
  if (left == 0) return 0;
  const void* tail = p;
  if (!tx_read_stays_in_page(p, TX_LINE_BYTES)) {
    memcpy(buf, p, size_t(left));  // the rest of the buffer is not significant
    tail = buf;
  }
  store(tx.take_line(), tail);
  return 0;
}

}  // namespace kvel
