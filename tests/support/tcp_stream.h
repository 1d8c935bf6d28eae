// The byte streams of the TCP data tests, shared by the test programs and by
// tcp_stream_peer (which links nothing else): a deterministic stream per seed, a hash
// of the bytes that arrive, and a check of arriving bytes against the stream expected.
// None of them depends on how the stream is cut into pieces.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zt {

// The stream of a seed: its bytes 8k..8k+7 are the k-th splitmix64 output, little end
// first.
class stream_source {
 public:
  explicit stream_source(uint64_t seed) : state_(seed) {}

  // The next n bytes of the stream.
  void fill(uint8_t* out, size_t n) {
    while (n > 0 && used_ < 8) {
      *out++ = uint8_t(word_ >> (8 * used_++));
      --n;
    }
    for (; n >= 8; n -= 8, out += 8) {
      const uint64_t w = next();
      memcpy(out, &w, 8);
    }
    if (n == 0) return;
    word_ = next();
    used_ = 0;
    while (n-- > 0) *out++ = uint8_t(word_ >> (8 * used_++));
  }

 private:
  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }

  uint64_t state_;
  uint64_t word_ = 0;
  unsigned used_ = 8;  // bytes of word_ already handed out
};

// 64-bit FNV-1a over the stream's 8-byte words (little end first), the bytes of an
// incomplete last word folded in one by one; a word at a time keeps it far faster
// than any link of the simulator.
class stream_hash {
 public:
  void update(const uint8_t* p, size_t n) {
    while (n > 0 && fill_ != 0) {
      take_byte(*p++);
      --n;
    }
    for (; n >= 8; n -= 8, p += 8) {
      uint64_t w;
      memcpy(&w, p, 8);
      h_ = (h_ ^ w) * PRIME;
    }
    while (n-- > 0) take_byte(*p++);
  }
  uint64_t value() const {
    uint64_t h = h_;
    for (unsigned i = 0; i < fill_; ++i) h = (h ^ uint8_t(pending_ >> (8 * i))) * PRIME;
    return h;
  }

 private:
  static constexpr uint64_t PRIME = 0x100000001b3ull;
  void take_byte(uint8_t b) {
    pending_ |= uint64_t(b) << (8 * fill_);
    if (++fill_ < 8) return;
    h_ = (h_ ^ pending_) * PRIME;
    pending_ = 0;
    fill_ = 0;
  }

  uint64_t h_ = 0xcbf29ce484222325ull;
  uint64_t pending_ = 0;
  unsigned fill_ = 0;
};

// What arrived of the stream of a seed: how many bytes, their hash, and the offset of
// the first byte that differs from the stream (-1: none).
class stream_check {
 public:
  explicit stream_check(uint64_t seed) : expect_(seed) {}

  void take(const uint8_t* p, size_t n) {
    hash_.update(p, n);
    while (n > 0) {
      uint8_t want[4096];
      const size_t k = std::min(n, sizeof want);
      expect_.fill(want, k);
      if (first_bad_ < 0 && memcmp(want, p, k) != 0) {
        size_t i = 0;
        while (want[i] == p[i]) ++i;
        first_bad_ = int64_t(bytes_ + i);
      }
      bytes_ += k;
      p += k;
      n -= k;
    }
  }
  uint64_t bytes() const { return bytes_; }
  uint64_t hash() const { return hash_.value(); }
  int64_t first_bad() const { return first_bad_; }

 private:
  stream_source expect_;
  stream_hash hash_;
  uint64_t bytes_ = 0;
  int64_t first_bad_ = -1;
};

}  // namespace zt
