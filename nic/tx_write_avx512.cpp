// The TX write routine for processors with AVX-512: each line leaves as one 64-byte
// non-temporal store.
#include <immintrin.h>

#include "tx_lines.h"

namespace kvel {
namespace {

[[gnu::target("avx512f"), TX_READS_PAST_PAYLOAD]] inline void store_line_avx512(
    void* line, const void* src) {
  _mm512_stream_si512(static_cast<__m512i*>(line), _mm512_loadu_si512(src));
}

// The halves are joined in a register: a 64-byte load of a line just assembled with
// smaller stores would wait for those stores to retire.
[[gnu::target("avx512f"), TX_READS_PAST_PAYLOAD]] inline void store_first_avx512(
    void* line, const void* desc, const void* payload32) {
  const __m256i low = _mm256_loadu_si256(static_cast<const __m256i*>(desc));
  const __m256i high = _mm256_loadu_si256(static_cast<const __m256i*>(payload32));
  // The upper half of the widened descriptor is undefined until the payload replaces it.
  _mm512_stream_si512(static_cast<__m512i*>(line),
                      _mm512_mask_broadcast_i64x4(_mm512_castsi256_si512(low), 0xf0, high));
}

}  // namespace

[[gnu::target("avx512f"), TX_READS_PAST_PAYLOAD]] int tx_pio::write_avx512(
    const void* data, int len, const void* desc, int max_polls) {
  return tx_write_lines(*this, data, len, desc, max_polls, store_first_avx512,
                        store_line_avx512);
}

}  // namespace kvel
