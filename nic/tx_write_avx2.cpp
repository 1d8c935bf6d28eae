// The TX write routine for processors with AVX2: each line leaves as two 32-byte
// non-temporal stores, lower half first, which the write-combining buffer joins.
// Loads run past the payload up to the end of its last line, never into the next
// 4 KiB page (see tx_lines.h), hence no sanitizer checks of them here.
#include <immintrin.h>

#include <cstring>

#include "tx_lines.h"

namespace kvel {
namespace {

[[gnu::target("avx2"), TX_READS_PAST_PAYLOAD]] inline __m256i load32(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// 32 bytes from p of which the first n (0..32) matter; zeros after them when they may
// not be read in place (tx_load32_in_place).
[[gnu::target("avx2"), TX_READS_PAST_PAYLOAD]] inline __m256i safe_load32(const void* p, int n) {
  if (tx_load32_in_place(p, n)) return load32(p);
  alignas(32) uint8_t buf[32] = {};
  if (n > 0) memcpy(buf, p, size_t(n));
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(buf));
}

[[gnu::target("avx2")]] inline void store_line(void* line, __m256i low, __m256i high) {
  __m256i* dst = static_cast<__m256i*>(line);
  _mm256_stream_si256(dst, low);
  _mm256_stream_si256(dst + 1, high);
}

}  // namespace

[[gnu::target("avx2"), TX_READS_PAST_PAYLOAD]] int tx_pio::write_avx2(const void* data, int len,
                                                                      const void* desc,
                                                                      int max_polls) {
  // Lines that this thread stored without a fence may still sit in write-combining
  // buffers; when the card seems stuck, push them out before polling on.
  int taken = reserve(len, 4);
  if (taken == -1) {
    _mm_sfence();
    taken = reserve(len, max_polls + 2);
  }
  if (taken < 0) return taken;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  store_line(take_line(), load32(desc), safe_load32(p, len < 32 ? len : 32));
  int left = len - 32;
  if (left <= 0) return 0;
  for (p += 32; left >= TX_LINE_BYTES; left -= TX_LINE_BYTES, p += TX_LINE_BYTES)
    store_line(take_line(), load32(p), load32(p + 32));
  if (left > 32)
    store_line(take_line(), load32(p), safe_load32(p + 32, left - 32));
  else if (left > 0)
    store_line(take_line(), safe_load32(p, left), _mm256_setzero_si256());
  return 0;
}

}  // namespace kvel
