// The card's side of a session's receive ring: where the next packet goes, whether the
// library has freed the lines it needs, and the slot written header and data first and
// its length word last.
//
// Slots cover whole 256-byte blocks, at most 8 KiB; a slot that begins fewer than 256
// lines before the end of the ring is the last of its lap and the next one begins at
// line 0. The library frees lines up to register 0x108 (only now and then, and 0 at
// each wrap of its own). The writer never lets its next slot head reach a line that
// is not free, so a read pointer at or behind the write position is on the writer's
// lap and one beyond it is a lap behind: full and empty never look alike.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "sim_region.h"
#include "sim_session_page.h"

namespace zsim {

constexpr size_t RX_LINE_BYTES = 64;
constexpr size_t RX_SLOT_MAX_BYTES = 8192;
constexpr size_t RX_RING_MAX_BYTES = size_t(128) << 20;

enum class rx_place { placed, full, stopped, too_long };

class sim_rxring {
 public:
  // A new ring of len bytes for a new mapping; the writer starts at line 0. The old
  // ring, if any, is given back. False with errno.
  bool map(const char* name, size_t len);
  sim_region* region() const { return ring_.get(); }

  // Writes one packet: hdr_len header bytes (length field 0) and len data bytes. The
  // card delivers only while receive is enabled and the library's size register names
  // this ring; a full ring's drop is counted in register 0x118.
  rx_place write(const sim_region& regs, const unsigned char* hdr, size_t hdr_len,
                 const unsigned char* data, size_t len);

 private:
  bool room(size_t rdptr, size_t lines) const;

  std::unique_ptr<sim_region> ring_;
  size_t lines_ = 0;
  size_t wrptr_ = 0;  // line of the next slot
};

}  // namespace zsim
