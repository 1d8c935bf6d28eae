// The TX write state that every hardware session embeds: the write-combining TX window,
// the card's feedback word, the credits that keep the writer from overrunning the card's
// ring, and the write routine chosen once per session by processor features.
//
// One send is a 32-byte descriptor and L payload bytes, written as 64-byte lines:
//   first line      descriptor | payload 0..31
//   following lines payload, 64 bytes each (the last one partial)
// Bytes of the last line beyond the payload are not significant; the descriptor carries
// the length. The window is four rounds of the card's 64-line ring, and the card reports
// the line it reads next, with its round, in the feedback word.
#pragma once
#include <cerrno>
#include <cstdint>

#include "session_ref.h"

namespace kvel {

constexpr int TX_LINE_BYTES = 64;
constexpr int TX_DESC_BYTES = 32;
constexpr int TX_RING_CREDITS = 128;  // the card's 4096-byte ring in 32-byte units
constexpr int TX_MAX_SEND = 4064;     // the largest payload whose lines fit in the ring
constexpr int TX_FEEDBACK_BYTES = 4096;

// Credits a send of len payload bytes takes: twice its number of lines.
constexpr int tx_send_credits(int len) { return ((len + 31) / 32 + 2) & ~1; }

// Feedback word: the ring line the card reads next, and that line's round.
constexpr int tx_fdb_rdptr(uint32_t fdb) { return int(fdb & 0xffff); }
constexpr int tx_fdb_round(uint32_t fdb) { return int(fdb >> 16); }

struct tx_pio {
  // Processor features, set by choose_tx_write.
  uint8_t has_avx2_ = 0;
  uint8_t has_avx512f_ = 0;
  uint8_t has_movdir64b_ = 0;
  uint8_t has_clflushopt_ = 0;
  uint8_t* tx_pio_mem_ = nullptr;        // the mapped TX window
  volatile uint32_t* fdb_ = nullptr;     // feedback word, start of the feedback page
  int tx_offset_ = 0;                    // next line to write; a multiple of 64
  int ring_bytes_ = 0;
  int ring_shift_ = 0;
  int ring_mask_ = 0;
  int window_bytes_ = 0;
  int window_mask_ = 0;
  int tx_available_256bit_ = 0;          // free ring space in 32-byte units, as last known
  uint16_t tx_flags_ = 0;                // low 16 bits of register 0x28 at set-up
  session_ref owner_{};
  int (tx_pio::*tx_write_)(const void* data, int len, const void* desc, int max_polls) = nullptr;

  // Writes one send through the routine chosen at set-up. data must be readable for len
  // bytes; with len 0 it is not read and may be null. Returns 0 when the send is in the
  // window; -1 when the card did not free enough room within the polls, with nothing
  // written; -EMSGSIZE for a len outside 0..TX_MAX_SEND, which could never fit.
  int write(const void* data, int len, const void* desc, int max_polls) {
    return (this->*tx_write_)(data, len, desc, max_polls);
  }

  // The TX part of a session's set-up: TX off (tx_enable_bits cleared in the owner's
  // control shadow), window and feedback page mapped, state reset, routine chosen, TX on.
  // 0, or -1 when a mapping fails. May end the process (choose_tx_write).
  int setup_tx_window(uint32_t tx_enable_bits);
  // Empty window and ring after the pages are mapped.
  void init_tx_state();
  // Reads the processor features, then install_tx_write.
  void choose_tx_write();
  void read_cpu_features();
  // Picks and announces the routine that the feature flags and the environment
  // (DISABLEMOVDIR, DISABLEAVX512) allow; ends the process when there is none.
  void install_tx_write();
  // Gives back the window and the feedback page; safe in any state of set-up.
  void unmap();

  // The write routines: one MOVDIR64B, one 64-byte non-temporal store, or two 32-byte
  // non-temporal stores per line.
  [[gnu::target("movdir64b")]] int write_movdir64b(const void* data, int len, const void* desc,
                                                   int max_polls);
  [[gnu::target("avx512f")]] int write_avx512(const void* data, int len, const void* desc,
                                              int max_polls);
  [[gnu::target("avx2")]] int write_avx2(const void* data, int len, const void* desc,
                                         int max_polls);

  // Takes the credits for a send of len bytes, reading the feedback word up to polls
  // times when the known credits are short. Returns the credits taken, -1 when there was
  // no room (credits left at the last count read), or -EMSGSIZE.
  int reserve(int len, int polls) {
    // Checked here, once per send: a longer send could never be written, and a caller
    // that retries on "no room" would retry for ever.
    if (len < 0 || len > TX_MAX_SEND) return -EMSGSIZE;
    const int need = tx_send_credits(len);
    if (tx_available_256bit_ < need && !poll_room(need, polls)) return -1;
    tx_available_256bit_ -= need;
    return need;
  }
  bool poll_room(int need, int polls);
  // The window address of the next line, advancing the write offset past it.
  uint8_t* take_line() {
    uint8_t* line = tx_pio_mem_ + tx_offset_;
    tx_offset_ = (tx_offset_ + TX_LINE_BYTES) & window_mask_;
    return line;
  }
};

}  // namespace kvel
