// Zeroing of 64-byte lines in memory that the card reads or writes, past the caches.
#pragma once
#include <emmintrin.h>

namespace kvel {

// Four 16-byte non-temporal stores, which the write-combining buffer merges into one
// line. SSE2 rather than AVX2 because every x86-64 processor has it: the TX set-up zeroes
// lines before it has found out whether the processor may run any write routine at all.
// The stores are weakly ordered; a store fence must come before the card is told.
inline void nt_zero_line(void* line) {
  const __m128i zero = _mm_setzero_si128();
  __m128i* p = static_cast<__m128i*>(line);
  _mm_stream_si128(p, zero);
  _mm_stream_si128(p + 1, zero);
  _mm_stream_si128(p + 2, zero);
  _mm_stream_si128(p + 3, zero);
}

}  // namespace kvel
