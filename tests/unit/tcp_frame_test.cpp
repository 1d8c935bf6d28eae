// The frames of the control segments that the software sends itself: every byte against
// a reference worked out by hand, checksums that verify, and the frame that
// send_control_segment puts on its packet socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "tcp/tcp_frame.h"
#include "tcp/tcp_pkt_if.h"

namespace {

using vyxtcp::tcp_tx_desc;

const uint8_t SRC_MAC[6] = {0x02, 0x5a, 0x00, 0x00, 0x00, 0x00};
constexpr uint32_t LOCAL_IP = 0xC6120001;  // 198.18.0.1

tcp_tx_desc reference_desc(uint8_t flags, uint8_t slot_hdr) {
  tcp_tx_desc d{};
  d.remote_port = 5555;
  d.local_port = 40000;
  d.remote_ip = 0xC6120002;  // 198.18.0.2
  d.ack = 0x55667788;
  d.seq = 0x11223344;
  const uint8_t hop[6] = {0x02, 0x5a, 0x00, 0x00, 0x00, 0x80};
  memcpy(d.next_hop_mac, hop, 6);
  d.window = 0x2000;
  d.tcp_flags = flags;
  d.ttl = 64;
  d.slot_hdr = slot_hdr;
  return d;
}

// An ACK without VLAN: IPv4 checksum 0xaea8, TCP checksum 0x4064.
const std::vector<uint8_t> ACK_FRAME = {
    0x02, 0x5a, 0x00, 0x00, 0x00, 0x80, 0x02, 0x5a, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00,
    0x45, 0x00, 0x00, 0x28, 0x00, 0x00, 0x40, 0x00, 0x40, 0x06, 0xae, 0xa8, 0xc6, 0x12,
    0x00, 0x01, 0xc6, 0x12, 0x00, 0x02, 0x9c, 0x40, 0x15, 0xb3, 0x11, 0x22, 0x33, 0x44,
    0x55, 0x66, 0x77, 0x88, 0x50, 0x10, 0x20, 0x00, 0x40, 0x64, 0x00, 0x00};
// A FIN+ACK on VLAN 100 (VLAN slot 1): the 802.1Q tag after the source MAC.
const std::vector<uint8_t> FIN_ACK_VLAN_FRAME = {
    0x02, 0x5a, 0x00, 0x00, 0x00, 0x80, 0x02, 0x5a, 0x00, 0x00, 0x00, 0x00, 0x81, 0x00,
    0x00, 0x64, 0x08, 0x00, 0x45, 0x00, 0x00, 0x28, 0x00, 0x00, 0x40, 0x00, 0x40, 0x06,
    0xae, 0xa8, 0xc6, 0x12, 0x00, 0x01, 0xc6, 0x12, 0x00, 0x02, 0x9c, 0x40, 0x15, 0xb3,
    0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x50, 0x11, 0x20, 0x00, 0x40, 0x63,
    0x00, 0x00};

std::vector<uint8_t> build(const tcp_tx_desc& d, uint16_t vlan, const void* payload) {
  uint8_t out[vyxtcp::TCP_CTRL_FRAME_MAX];
  const int n = vyxtcp::build_control_frame(out, {SRC_MAC, LOCAL_IP, vlan}, d, payload);
  return n < 0 ? std::vector<uint8_t>{} : std::vector<uint8_t>(out, out + n);
}

// A header whose checksum is right sums, checksum included, to 0xffff: folds to 0.
uint16_t verify_ipv4(const uint8_t* ip) {
  return vyxtcp::fold_checksum(vyxtcp::ones_sum(ip, 20, 0));
}
uint16_t verify_tcp(const uint8_t* ip, int tcp_len) {
  uint32_t sum = vyxtcp::ones_sum(ip + 12, 8, 0) + 6 + uint32_t(tcp_len);
  return vyxtcp::fold_checksum(vyxtcp::ones_sum(ip + 20, size_t(tcp_len), sum));
}

TEST(TcpFrame, AckWithoutVlanMatchesReference) {
  EXPECT_EQ(build(reference_desc(0x10, 0x05), 0, nullptr), ACK_FRAME);
}

TEST(TcpFrame, FinAckOnVlanCarriesTag) {
  EXPECT_EQ(build(reference_desc(0x11, 0x15), 100, nullptr), FIN_ACK_VLAN_FRAME);
}

TEST(TcpFrame, VlanIdKeepsTwelveBitsAndPriorityZero) {
  const auto f = build(reference_desc(0x04, 0x05), 0xF123, nullptr);
  ASSERT_EQ(f.size(), 58u);
  EXPECT_EQ(f[14], 0x01);
  EXPECT_EQ(f[15], 0x23);
}

// Odd and even payload lengths, with and without tag: both checksums verify and the
// payload follows the header unchanged.
TEST(TcpFrame, PayloadChecksumsVerify) {
  const uint8_t payload[7] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0xff};
  for (uint16_t vlan : {0, 7}) {
    for (uint16_t len : {1, 6, 7}) {
      tcp_tx_desc d = reference_desc(0x18, 0x05);
      d.length = len;
      const auto f = build(d, vlan, payload);
      const int eth = vlan ? 18 : 14;
      ASSERT_EQ(f.size(), size_t(eth + 40 + len)) << vlan << " " << len;
      const uint8_t* ip = f.data() + eth;
      EXPECT_EQ((ip[2] << 8) | ip[3], 40 + len);
      EXPECT_EQ(verify_ipv4(ip), 0) << vlan << " " << len;
      EXPECT_EQ(verify_tcp(ip, 20 + len), 0) << vlan << " " << len;
      EXPECT_EQ(memcmp(ip + 40, payload, len), 0);
    }
  }
}

// Options count in the length: a header of 6 words needs at least 4 payload bytes.
TEST(TcpFrame, RejectsWhatCannotBeAWholeSegment) {
  const uint8_t opts[8] = {2, 4, 0x05, 0xb4, 1, 3, 3, 7};
  struct bad_case {
    uint16_t len;
    uint8_t slot_hdr;
    const void* payload;
  };
  for (const bad_case& c : {bad_case{vyxtcp::TCP_CTRL_MAX_PAYLOAD + 1, 0x05, opts},
                            bad_case{0, 0x06, nullptr}, bad_case{4, 0x07, opts},
                            bad_case{4, 0x04, opts}, bad_case{4, 0x05, nullptr}}) {
    tcp_tx_desc d = reference_desc(0x10, c.slot_hdr);
    d.length = c.len;
    EXPECT_TRUE(build(d, 0, c.payload).empty()) << c.len << " " << int(c.slot_hdr);
  }
  tcp_tx_desc d = reference_desc(0x10, 0x07);
  d.length = 8;
  const auto f = build(d, 0, opts);
  ASSERT_EQ(f.size(), 62u);
  EXPECT_EQ(f[46], 0x70);
}

// send_control_segment stores the length in the descriptor and sends one whole frame.
TEST(TcpFrame, SendControlSegmentSendsOneFrame) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
  vyxtcp::tcp_hw_session s;
  s.pkt_fd_ = sv[0];
  memcpy(s.src_mac_, SRC_MAC, 6);
  s.local_ip_ = LOCAL_IP;
  tcp_tx_desc d = reference_desc(0x10, 0x05);
  d.length = 99;
  EXPECT_EQ(s.send_control_segment(nullptr, 0, &d), 54);
  EXPECT_EQ(d.length, 0);
  uint8_t got[256];
  ASSERT_EQ(recv(sv[1], got, sizeof got, MSG_DONTWAIT), 54);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 54), ACK_FRAME);

  s.vlan_id_ = 100;
  d = reference_desc(0x11, 0x15);
  EXPECT_EQ(s.send_control_segment(nullptr, 0, &d), 58);
  ASSERT_EQ(recv(sv[1], got, sizeof got, MSG_DONTWAIT), 58);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 58), FIN_ACK_VLAN_FRAME);

  EXPECT_EQ(s.send_control_segment(nullptr, 4, &d), -1);  // no payload for 4 bytes
  EXPECT_EQ(recv(sv[1], got, sizeof got, MSG_DONTWAIT), -1);
  s.release();  // closes sv[0]
  EXPECT_EQ(s.pkt_fd_, -1);
  close(sv[1]);
}

}  // namespace
