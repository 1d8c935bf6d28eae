#include "sim_txwin.h"

#include <sys/random.h>

#include <cstring>

namespace zsim {
namespace {

// A bijection of 64-bit numbers that scatters its inputs: consecutive inputs give
// distinct, unrelated-looking outputs.
uint64_t scramble(uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

uint64_t random_seed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, 0) != sizeof seed) seed = uint64_t(&seed) ^ 0x5A17C0D;
  return seed;
}

uint32_t feedback_word(unsigned off) {
  return (off / TXWIN_RING_BYTES) << 16 | (off % TXWIN_RING_BYTES) / TXWIN_LINE_BYTES;
}

}  // namespace

bool sim_txwin::create(const char* name) {
  if (!window_.create(name, TXWIN_BYTES, false)) return false;
  reset();
  return true;
}

void sim_txwin::reset() {
  uint64_t seed = random_seed();
  for (unsigned i = 0; i < WORDS; ++i) {
    poison_[i] = scramble(seed + i);
    __atomic_store_n(word(i), poison_[i], __ATOMIC_RELAXED);
  }
  rd_off_ = 0;
}

bool sim_txwin::copy_line(unsigned off, unsigned char* out) const {
  unsigned first = off / 8;
  for (unsigned i = 0; i < LINE_WORDS; ++i) {
    uint64_t w = __atomic_load_n(word(first + i), __ATOMIC_ACQUIRE);
    if (w == poison_[first + i]) return false;
    memcpy(out + 8 * i, &w, sizeof w);
  }
  return true;
}

void sim_txwin::poison_line(unsigned off) {
  for (unsigned i = off / 8; i < off / 8 + LINE_WORDS; ++i)
    __atomic_store_n(word(i), poison_[i], __ATOMIC_RELAXED);
}

int sim_txwin::peek(int (*lines_of)(const unsigned char*), unsigned char* out, bool* bad) const {
  if (!copy_line(rd_off_, out)) return 0;
  int lines = lines_of(out);
  *bad = lines < 1 || lines > int(TXWIN_RING_LINES);
  if (*bad) return 1;
  for (int i = 1; i < lines; ++i) {
    unsigned off = (rd_off_ + unsigned(i) * TXWIN_LINE_BYTES) % TXWIN_BYTES;
    if (!copy_line(off, out + i * TXWIN_LINE_BYTES)) return 0;
  }
  return lines;
}

uint32_t sim_txwin::consume(int lines) {
  for (int i = 0; i < lines; ++i) {
    poison_line(rd_off_);
    poison_line((rd_off_ + 2 * TXWIN_RING_BYTES) % TXWIN_BYTES);
    rd_off_ = (rd_off_ + TXWIN_LINE_BYTES) % TXWIN_BYTES;
  }
  return feedback_word(rd_off_);
}

}  // namespace zsim
