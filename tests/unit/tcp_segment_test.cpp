// Parsing a received segment once: header fields in host order, the bounded option
// reader, and malformed headers and options.
#include <gtest/gtest.h>

#include <vector>

#include "tcp/tcp_segment.h"
#include "tcp_engine_fixture.h"

namespace {

using vyxtcp::tcp_parse_options;
using vyxtcp::tcp_parse_segment;
using vyxtcp::tcp_segment;
using vyxtcp_test::tcp_bytes;

TEST(tcp_segment, parse_header_fields_host_order) {
  const auto b = tcp_bytes(0x01020304, 0xa0b0c0d0, 0x11, 0x1234, {1, 1, 1, 1}, 7);
  tcp_segment s;
  ASSERT_TRUE(tcp_parse_segment(b.data(), b.size(), &s));
  EXPECT_EQ(s.src_port, 12345);
  EXPECT_EQ(s.dst_port, 8080);
  EXPECT_EQ(s.seq.v, 0x01020304u);
  EXPECT_EQ(s.ack.v, 0xa0b0c0d0u);
  EXPECT_EQ(s.data_offset, 6);
  EXPECT_EQ(s.flags, 0x11);
  EXPECT_EQ(s.window, 0x1234);
  EXPECT_EQ(s.payload_len, 7u);
  EXPECT_EQ(s.payload, b.data() + 24);
  EXPECT_EQ(s.fin_seq().v, 0x0102030bu);
}

TEST(tcp_segment, parse_rejects_malformed_headers) {
  auto b = tcp_bytes(1, 2, 0x10, 100, {}, 0);
  tcp_segment s;
  EXPECT_FALSE(tcp_parse_segment(b.data(), 19, &s));            // shorter than the base header
  EXPECT_FALSE(tcp_parse_segment(nullptr, 40, &s));
  for (uint8_t off : {0, 1, 4}) {                                // data offset below 5
    b[12] = uint8_t(off << 4);
    EXPECT_FALSE(tcp_parse_segment(b.data(), b.size(), &s)) << int(off);
  }
  b[12] = 0x60;                                                  // claims 24 bytes of 20
  EXPECT_FALSE(tcp_parse_segment(b.data(), b.size(), &s));
  b[12] = 0xf0;
  EXPECT_FALSE(tcp_parse_segment(b.data(), b.size(), &s));
}

struct option_case {
  const char* name;
  std::vector<uint8_t> bytes;
  uint16_t mss;
  uint8_t has_wscale;
  uint8_t wscale;
};

TEST(tcp_segment, options_table) {
  const option_case cases[] = {
      {"none", {}, 0, 0, 0},
      {"mss", {2, 4, 0x05, 0x78}, 1400, 0, 0},
      {"mss zero means the default", {2, 4, 0, 0}, 0, 0, 0},
      {"first mss counts, a zero included", {2, 4, 0, 0, 2, 4, 0x05, 0x78}, 0, 0, 0},
      {"mss and scale", {2, 4, 0x05, 0xb4, 1, 3, 3, 7}, 1460, 1, 7},
      {"scale 14 taken", {3, 3, 14}, 0, 1, 14},
      {"scale 15 clamped", {3, 3, 15}, 0, 1, 14},
      {"scale 255 clamped", {3, 3, 255}, 0, 1, 14},
      {"scale 0 is present", {3, 3, 0}, 0, 1, 0},
      {"timestamp and sack skipped", {4, 2, 8, 10, 1, 2, 3, 4, 5, 6, 7, 8, 3, 3, 5}, 0, 1, 5},
      {"sack block skipped", {5, 10, 0, 0, 0, 1, 0, 0, 0, 2, 2, 4, 1, 0}, 256, 0, 0},
      {"unknown kind skipped by length", {30, 4, 9, 9, 2, 4, 1, 0}, 256, 0, 0},
      {"end stops the walk", {0, 2, 4, 1, 0}, 0, 0, 0},
      {"length 0 stops the walk", {30, 0, 2, 4, 1, 0}, 0, 0, 0},
      {"length 1 stops the walk", {30, 1, 2, 4, 1, 0}, 0, 0, 0},
      {"mss with the wrong length", {2, 3, 5, 3, 3, 3}, 0, 0, 0},
      {"scale with the wrong length", {3, 4, 7, 0, 2, 4, 1, 0}, 0, 0, 0},
      {"length beyond the end", {1, 2, 4, 5}, 0, 0, 0},
      {"kind as the last byte", {1, 1, 1, 3}, 0, 0, 0},
      {"taken before a bad option", {2, 4, 1, 0, 8, 200}, 256, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto o = tcp_parse_options(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(o.mss, c.mss);
    EXPECT_EQ(o.has_wscale, c.has_wscale);
    EXPECT_EQ(o.wscale, c.wscale);
  }
}

// The reader's bound is the header's, not the buffer's: option bytes past the data
// offset are payload.
TEST(tcp_segment, options_end_at_data_offset) {
  auto b = tcp_bytes(1, 2, 0x12, 100, {1, 1, 1, 1}, 8);
  const uint8_t beyond[] = {2, 4, 0x05, 0x78};
  std::copy(beyond, beyond + 4, b.begin() + 24);
  tcp_segment s;
  ASSERT_TRUE(tcp_parse_segment(b.data(), b.size(), &s));
  EXPECT_EQ(s.opt.mss, 0);
  b[23] = 2;  // an MSS kind as the last option byte: its length would be payload
  ASSERT_TRUE(tcp_parse_segment(b.data(), b.size(), &s));
  EXPECT_EQ(s.opt.mss, 0);
}

}  // namespace
