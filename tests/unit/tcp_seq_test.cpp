// Sequence-number order: the window of 0x7f000000, across the wrap.
#include <gtest/gtest.h>

#include "tcp/tcp_seq.h"

namespace {

using vyxtcp::tcp_seq;

struct order_case {
  uint32_t x, y;
  bool at_or_after;
};

TEST(tcp_seq, order_window_table) {
  const order_case cases[] = {
      {5, 5, true},
      {6, 5, true},
      {5, 6, false},
      {0, 0xffffffff, true},           // across the wrap
      {0xffffffff, 0, false},
      {0x10, 0xfffffff0, true},
      {0x7effffff, 0, true},           // the last number inside the window
      {0x7f000000, 0, false},          // the first outside it
      {0x80000000, 0, false},          // 2^31 away: before, unlike the usual rule
      {0x7f00000f, 0x10, true},        // the same edge, shifted
      {0x7f000010, 0x10, false},
      {0x10, 0x7f000010, false},       // each before the other on the far side
      {0x7effffef, 0xfffffff0, true},  // the edge across the wrap
      {0x7efffff0, 0xfffffff0, false},
  };
  for (const auto& c : cases) {
    const tcp_seq x(c.x), y(c.y);
    SCOPED_TRACE(testing::Message() << std::hex << c.x << " vs " << c.y);
    EXPECT_EQ(x >= y, c.at_or_after);
    EXPECT_EQ(x < y, !c.at_or_after);
    EXPECT_EQ(x > y, c.at_or_after && c.x != c.y);
    EXPECT_EQ(x <= y, !(c.at_or_after && c.x != c.y));
  }
}

TEST(tcp_seq, arithmetic_wraps) {
  const tcp_seq a(0xfffffffe);
  EXPECT_EQ((a + 3).v, 1u);
  EXPECT_EQ((tcp_seq(1) - 3).v, 0xfffffffeu);
  EXPECT_EQ(tcp_seq(1) - a, 3u);
  EXPECT_TRUE(a + 3 > a);
}

TEST(tcp_seq, in_window_across_wrap) {
  const tcp_seq start(0xfffffff0);
  EXPECT_TRUE(tcp_seq::in_window(start, start, 1));
  EXPECT_TRUE(tcp_seq::in_window(tcp_seq(0x0f), start, 0x20));
  EXPECT_FALSE(tcp_seq::in_window(tcp_seq(0x10), start, 0x20));
  EXPECT_FALSE(tcp_seq::in_window(start - 1, start, 0x20));
  EXPECT_FALSE(tcp_seq::in_window(start, start, 0));
}

}  // namespace
