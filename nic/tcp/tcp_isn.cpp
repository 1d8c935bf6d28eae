#include "tcp_isn.h"

#include <ctime>
#include <mutex>

#include "netinfo.h"

namespace vyxtcp {
namespace {

constexpr int64_t ISN_TICK_NS = 4000;

uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct sip_state {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotl(v1, 13) ^ v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16) ^ v2;
    v0 += v3;
    v3 = rotl(v3, 21) ^ v0;
    v2 += v1;
    v1 = rotl(v1, 17) ^ v2;
    v2 = rotl(v2, 32);
  }
  void compress(uint64_t m) {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
};

}  // namespace

uint64_t tcp_isn_hash(const uint64_t key[2], const tcp_four_tuple& t) {
  sip_state s{key[0] ^ 0x736f6d6570736575ull, key[1] ^ 0x646f72616e646f6dull,
              key[0] ^ 0x6c7967656e657261ull, key[1] ^ 0x7465646279746573ull};
  // The 12 message bytes as one full word and a last word with the length on top.
  s.compress(uint64_t(t.local_ip) | uint64_t(t.remote_ip) << 32);
  s.compress(uint64_t(t.local_port) | uint64_t(t.remote_port) << 16 | uint64_t(12) << 56);
  s.v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

uint32_t tcp_isn_at(const uint64_t key[2], const tcp_four_tuple& t, int64_t now_ns) {
  return uint32_t(uint64_t(now_ns / ISN_TICK_NS) + tcp_isn_hash(key, t));
}

int tcp_choose_isn(const tcp_four_tuple& t, uint32_t* isn) {
  static std::once_flag drawn;
  static uint64_t key[2];
  static bool have_key = false;
  std::call_once(drawn, [] { have_key = kvel::read_urandom(key, sizeof key) == 0; });
  if (!have_key) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  *isn = tcp_isn_at(key, t, int64_t(now.tv_sec) * 1000000000 + now.tv_nsec);
  return 0;
}

}  // namespace vyxtcp
