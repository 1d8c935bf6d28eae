// Initial sequence numbers: a 4 us clock plus a keyed hash of the 4-tuple.
#include <gtest/gtest.h>

#include <cstdint>

#include "tcp/tcp_isn.h"

namespace {

using vyxtcp::tcp_four_tuple;
using vyxtcp::tcp_isn_at;

constexpr uint64_t KEY[2] = {0x0123456789abcdefull, 0xfedcba9876543210ull};
constexpr uint64_t OTHER_KEY[2] = {0x0123456789abcdefull, 0xfedcba9876543211ull};
constexpr tcp_four_tuple TUPLE{0xc6120001, 0xc6120002, 40000, 80};

TEST(tcp_isn, the_clock_adds_one_per_4_us_and_wraps) {
  const uint32_t at0 = tcp_isn_at(KEY, TUPLE, 0);
  EXPECT_EQ(tcp_isn_at(KEY, TUPLE, 3999), at0);
  EXPECT_EQ(tcp_isn_at(KEY, TUPLE, 4000), at0 + 1);
  EXPECT_EQ(tcp_isn_at(KEY, TUPLE, 1000000000), at0 + 250000);
  // 2^32 ticks later (about 4.8 hours) it has gone round once.
  EXPECT_EQ(tcp_isn_at(KEY, TUPLE, int64_t(4000) << 32), at0);
}

TEST(tcp_isn, each_part_of_the_tuple_and_the_key_changes_the_offset) {
  const uint32_t base = tcp_isn_at(KEY, TUPLE, 0);
  struct variant {
    const char* name;
    tcp_four_tuple t;
    const uint64_t* key;
  } cases[] = {
      {"local ip", {0xc6120003, 0xc6120002, 40000, 80}, KEY},
      {"remote ip", {0xc6120001, 0xc6120004, 40000, 80}, KEY},
      {"local port", {0xc6120001, 0xc6120002, 40001, 80}, KEY},
      {"remote port", {0xc6120001, 0xc6120002, 40000, 81}, KEY},
      {"addresses swapped", {0xc6120002, 0xc6120001, 40000, 80}, KEY},
      {"ports swapped", {0xc6120001, 0xc6120002, 80, 40000}, KEY},
      {"key", TUPLE, OTHER_KEY},
  };
  for (const variant& c : cases) EXPECT_NE(tcp_isn_at(c.key, c.t, 0), base) << c.name;
}

// The SipHash-2-4 of the tuple's 12 bytes (local address, remote address, local port,
// remote port, little-endian), by the reference vectors' key 00 01 .. 0f over the
// message 00 01 .. 0b.
TEST(tcp_isn, the_hash_is_siphash_2_4) {
  const uint64_t key[2] = {0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull};
  const tcp_four_tuple t{0x03020100, 0x07060504, 0x0908, 0x0b0a};
  EXPECT_EQ(vyxtcp::tcp_isn_hash(key, t), 0x751e8fbc860ee5fbull);
}

TEST(tcp_isn, the_process_key_gives_a_number) {
  uint32_t a = 0, b = 0;
  ASSERT_EQ(vyxtcp::tcp_choose_isn(TUPLE, &a), 0);
  ASSERT_EQ(vyxtcp::tcp_choose_isn(TUPLE, &b), 0);
  EXPECT_LT(b - a, 250000u * 10);  // the same key: only the clock moved
}

}  // namespace
