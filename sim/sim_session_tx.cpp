#include "sim_session_tx.h"

#include <immintrin.h>

#include <cstring>

#include "sim_clock.h"
#include "sim_session.h"
#include "sim_session_page.h"

namespace zsim {
namespace {

constexpr int SENDS_PER_TURN = 16;  // per session, so that no window starves the others
constexpr uint16_t DESC_TIMESTAMP = 0x8000;

// Entry n of the log, id and time in one 16-byte store: a reader's single 16-byte load
// sees both of one write.
void stamp(sim_session& s) {
  uint64_t n = s.ts_sends++;
  if (!s.ts_log || s.ts_entries == 0) return;
  auto* entry = reinterpret_cast<__m128i*>(s.ts_log->bytes()) + (n & (s.ts_entries - 1));
  const __m128i v = _mm_set_epi64x(int64_t(card_time_now()), int64_t(n));
  asm volatile("movdqa %1, %0" : "=m"(*entry) : "x"(v));
}

}  // namespace

int session_tx(sim_session& s, const tx_sender& sender) {
  if (!(s.regs.reg(REG_CONTROL / 8) & CONTROL_TX_ENABLE)) return 0;
  alignas(64) unsigned char lines[TXWIN_RING_BYTES];
  int sends = 0;
  for (; sends < SENDS_PER_TURN; ++sends) {
    bool bad = false;
    int n = s.tx.peek(sender.lines_of, lines, &bad);
    if (n == 0) break;
    sender.send(s, lines, bad);
    uint16_t flags;
    memcpy(&flags, lines + 2, sizeof flags);
    // Stamped sends are counted whatever became of them, as the library counts its ids.
    if (flags & DESC_TIMESTAMP) stamp(s);
    __atomic_store_n(reinterpret_cast<uint32_t*>(s.feedback.bytes()), s.tx.consume(n),
                     __ATOMIC_RELEASE);
  }
  return sends;
}

void session_tx_flush(sim_session& s, const tx_sender& sender) {
  // What the window held at the release, however fast a writer may go on writing.
  for (unsigned taken = 0, n = 1; n && taken < TXWIN_RING_LINES; taken += n)
    n = unsigned(session_tx(s, sender));
}

}  // namespace zsim
