// The TX write routine for processors with MOVDIR64B: each line leaves as one 64-byte
// direct store, read from the payload in place where possible.
#include <immintrin.h>

#include "tx_lines.h"

namespace kvel {
namespace {

[[gnu::target("movdir64b"), TX_READS_PAST_PAYLOAD]] inline void store_line_movdir64b(
    void* line, const void* src) {
  _movdir64b(line, src);
}

// The instruction stores from memory only: the two halves meet in a buffer first. The
// payload half may reach past the caller's bytes on purpose (tx_lines.h): it is read
// with plain loads, as a memcpy would be checked by the address sanitizer all the same.
[[gnu::target("movdir64b"), TX_READS_PAST_PAYLOAD]] inline void store_first_movdir64b(
    void* line, const void* desc, const void* payload32) {
  alignas(64) uint8_t stage[TX_LINE_BYTES];
  memcpy(stage, desc, TX_DESC_BYTES);
  const auto* src = static_cast<const __m128i*>(payload32);
  auto* half = reinterpret_cast<__m128i*>(stage + TX_DESC_BYTES);
  _mm_store_si128(half, _mm_loadu_si128(src));
  _mm_store_si128(half + 1, _mm_loadu_si128(src + 1));
  _movdir64b(line, stage);
}

}  // namespace

[[gnu::target("movdir64b"), TX_READS_PAST_PAYLOAD]] int tx_pio::write_movdir64b(
    const void* data, int len, const void* desc, int max_polls) {
  return tx_write_lines(*this, data, len, desc, max_polls, store_first_movdir64b,
                        store_line_movdir64b);
}

}  // namespace kvel
