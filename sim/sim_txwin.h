// The card's side of a session's TX window. There is no doorbell and no valid bit, and
// the words of a line may become visible in any order, so every 8-byte word holds a
// poison value of its own until the library writes it: a line is written when none of
// its words equals its poison, a send when all the lines its descriptor implies are.
//
// The window is four rounds of the card's 64-line ring. After taking a send the card
// poisons its lines again, and the same lines two rounds ahead: the library zeroes the
// last round at set-up, and its writer never runs more than one round ahead of the
// feedback word, so those lines are never being written. Only then does the feedback
// word (ring line in bits 15..0, round in bits 31..16) move on, in one 32-bit store.
#pragma once
#include <cstdint>

#include "sim_region.h"

namespace zsim {

constexpr unsigned TXWIN_BYTES = 16384;
constexpr unsigned TXWIN_LINE_BYTES = 64;
constexpr unsigned TXWIN_RING_BYTES = 4096;
constexpr unsigned TXWIN_RING_LINES = TXWIN_RING_BYTES / TXWIN_LINE_BYTES;

class sim_txwin {
 public:
  // The window's memory; false with errno.
  bool create(const char* name);
  sim_region& region() { return window_; }
  // Fresh poison in every word and the read position at the start: at each mapping.
  void reset();

  // The send at the read position, copied into out (TXWIN_RING_BYTES bytes), once all
  // its lines are written: its line count, or 0 while it is incomplete. lines_of gives
  // the count from the first line; a count the ring cannot hold is taken as one line,
  // and *bad set.
  int peek(int (*lines_of)(const unsigned char*), unsigned char* out, bool* bad) const;
  // Takes the lines of the send that peek found and returns the new feedback word.
  uint32_t consume(int lines);

 private:
  static constexpr unsigned WORDS = TXWIN_BYTES / 8;
  static constexpr unsigned LINE_WORDS = TXWIN_LINE_BYTES / 8;

  // The line at window offset off, copied to out when it is written.
  bool copy_line(unsigned off, unsigned char* out) const;
  void poison_line(unsigned off);
  uint64_t* word(unsigned index) const {
    return reinterpret_cast<uint64_t*>(window_.bytes()) + index;
  }

  sim_region window_;
  uint64_t poison_[WORDS] = {};
  unsigned rd_off_ = 0;  // offset of the next line to read
};

}  // namespace zsim
