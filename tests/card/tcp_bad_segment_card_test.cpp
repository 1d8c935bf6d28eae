// Bad input on the real path. Malformed and hostile segments, made by hand in the peer
// namespace and sent from its wire toward an established connection and toward a
// listener, pass the card and reach the engine as the card delivers them: nothing
// crashes or hangs, a segment that cannot be framed is ignored, options are read only
// as far as they can be framed, and a window-scale shift above 14 is taken as 14. Bad
// arguments to the data calls on an established connection are refused without a
// byte on the wire.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tcp_wire_fixture.h"

namespace {

using namespace std::chrono_literals;
using vyxtcp::TCP_ACK;
using vyxtcp::TCP_RST;
using vyxtcp::TCP_SYN;
using zt::crafted_segment;
using zt::from_port;

const std::string NOP_WSCALE_15{char(1), char(3), char(3), char(15)};
const std::string NOP_WSCALE_7{char(1), char(3), char(3), char(7)};
const std::string ZERO_LENGTH_OPTION{char(30), char(0), char(1), char(1)};

class TcpBadSegment : public zt::tcp_peer_test {
 protected:
  void SetUp() override {
    zt::tcp_peer_test::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(peer_.ready());
  }
  bool send(const crafted_segment& c) { return peer_.send(c); }

  zt::crafted_sender peer_;
};

struct established_case {
  const char* name;
  uint8_t flags;
  std::string options;
  int data_offset;  // -1: the true one
  bool closes;
};

// Each segment carries the connection's own sequence numbers, so only its form decides.
// The connection carries data both ways after every one that does not close it.
TEST_F(TcpBadSegment, TowardAnEstablishedConnection) {
  const established_case cases[] = {
      {"RST with data offset 4", TCP_RST | TCP_ACK, "", 4, false},
      {"RST with data offset 0", TCP_RST, "", 0, false},
      {"RST whose data offset claims 60 bytes", TCP_RST | TCP_ACK, "", 15, false},
      {"SYN-ACK again with MSS 1 and window scale 15", TCP_SYN | TCP_ACK,
       zt::mss_option(1) + NOP_WSCALE_15, -1, false},
      {"RST with an option of length 0", TCP_RST | TCP_ACK, ZERO_LENGTH_OPTION, -1, true},
  };
  zt::wire_recorder rec(7900);
  zt::handle_ptr c;
  const int conn = open_active(c, 7900, 7800);
  ASSERT_GE(conn, 0);
  const uint32_t peer_wscale = c.h->tcp.peer_wscale;
  for (const established_case& k : cases) {
    SCOPED_TRACE(k.name);
    crafted_segment seg;
    seg.sport = 7800;
    seg.dport = 7900;
    seg.seq = c.h->tcp.rx_seq.load().v;
    seg.ack = c.h->tcp.tx_seq.load().v;
    seg.flags = k.flags;
    seg.options = k.options;
    seg.data_offset = k.data_offset;
    ASSERT_TRUE(send(seg));
    std::this_thread::sleep_for(100ms);  // the worker's scan has met it by now
    if (k.flags & TCP_SYN) {
      // A repeated SYN-ACK is answered with a pure ACK, whatever its options.
      zt::wire_segment repeat;
      ASSERT_TRUE(rec.wait_for(from_port(7800, k.flags), &repeat));
      EXPECT_TRUE(rec.wait_for(
          [&](const zt::wire_segment& s) {
            return s.t > repeat.t && s.seg.src_port == 7900 && s.seg.flags == TCP_ACK &&
                   s.payload_len() == 0 && s.seg.ack.v == seg.seq;
          },
          nullptr));
    }
    if (k.closes) {
      const void* data;
      EXPECT_EQ(zorvsock_tcp_zc_receive(c.h, &data, nullptr), -107);
      EXPECT_EQ(zt::wait_state(c.h, ZORVSOCK_TCP_CLOSED), ZORVSOCK_TCP_CLOSED);
      continue;
    }
    EXPECT_EQ(zt::peer_send_pattern(conn, 100), 100u);
    const zt::receive_result r = zt::receive_pattern(c.h, 100);
    EXPECT_EQ(r.bytes, 100u);
    EXPECT_EQ(r.first_bad, -1);
    EXPECT_EQ(zt::send_pattern(c.h, 100), 100u);
    EXPECT_EQ(zt::peer_receive_pattern(conn, 100), 100u);
    EXPECT_EQ(zorvsock_tcp_get_status(c.h), ZORVSOCK_TCP_ESTABLISHED);
    EXPECT_EQ(c.h->tcp.tx_mss, 1460);
    EXPECT_EQ(c.h->tcp.peer_wscale, peer_wscale);
  }
}

TEST_F(TcpBadSegment, BadArgumentsOnAnEstablishedConnectionSendNothing) {
  zt::handle_ptr c;
  const int conn = open_active(c, 7902, 7802);
  ASSERT_GE(conn, 0);
  const char buf[16] = {};
  EXPECT_EQ(zorvsock_tcp_send(c.h, nullptr, 10, nullptr), -14);
  EXPECT_EQ(zorvsock_tcp_send(c.h, buf, -1, nullptr), -22);
  EXPECT_EQ(zorvsock_tcp_send(c.h, nullptr, 0, nullptr), 0);  // a segment without payload
  EXPECT_EQ(zorvsock_tcp_zc_receive(c.h, nullptr, nullptr), -14);
  uint16_t port;
  EXPECT_EQ(zorvsock_tcp_get_peer(c.h, nullptr, &port), -14);
  // The stream from the first byte on is what the calls that followed put in it.
  EXPECT_EQ(zt::send_pattern(c.h, 3000), 3000u);
  EXPECT_EQ(zt::peer_receive_pattern(conn, 3000), 3000u);
  EXPECT_EQ(zt::peer_send_pattern(conn, 3000), 3000u);
  EXPECT_EQ(zt::receive_pattern(c.h, 3000).bytes, 3000u);
  EXPECT_EQ(zorvsock_tcp_get_status(c.h), ZORVSOCK_TCP_ESTABLISHED);
}

struct syn_case {
  const char* name;
  std::string options;
  int our_option_bytes;  // in the SYN-ACK
  uint32_t peer_wscale;
  uint32_t own_wscale;
  uint16_t our_window;  // the window field of our segments after the handshake
};

// A listener's SYNs made by hand; the peer completes each handshake with an ACK whose
// window field is 3, and the engine's view of the peer's options is read off. The
// peer's kernel, which knows nothing of these connections, is kept deaf to them.
TEST_F(TcpBadSegment, TowardAListener) {
  const syn_case cases[] = {
      {"MSS 1400 and window scale 15", zt::mss_option(1400) + NOP_WSCALE_15, 8, 14, 7, 32768},
      {"an option of length 0 before the window scale",
       zt::mss_option(1400) + ZERO_LENGTH_OPTION + NOP_WSCALE_7, 4, 0, 0, 65000},
  };
  zt::peer_drop drop("tcp sport 7901");
  ASSERT_TRUE(drop.ok);
  zt::wire_recorder rec(7901);
  zt::handle_ptr l;
  ASSERT_EQ(zorvsock_tcp_create_listener(l.h, "kvel0", 7901), 0);

  // A SYN whose header cannot be framed never reaches the listener's queue.
  crafted_segment bad;
  bad.sport = 41000;
  bad.dport = 7901;
  bad.seq = 5000;
  bad.flags = TCP_SYN;
  bad.data_offset = 4;
  ASSERT_TRUE(send(bad));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(zorvsock_tcp_accept_ready(l.h), 0);
  {
    zt::handle_ptr f;
    EXPECT_EQ(zorvsock_tcp_accept(l.h, f.h), -11);
  }

  uint16_t sport = 41001;
  for (const syn_case& k : cases) {
    SCOPED_TRACE(k.name);
    crafted_segment syn;
    syn.sport = sport;
    syn.dport = 7901;
    syn.seq = 5000;
    syn.flags = TCP_SYN;
    syn.options = k.options;
    ASSERT_TRUE(send(syn));
    ASSERT_TRUE(zt::wait_until([&] { return zorvsock_tcp_accept_ready(l.h) == 1; }, 3000));
    zt::wire_segment synack;
    std::thread ack([&] {
      if (!rec.wait_for(
              [&](const zt::wire_segment& s) {
                return s.seg.src_port == 7901 && s.seg.dst_port == sport &&
                       s.seg.flags == (TCP_SYN | TCP_ACK);
              },
              &synack))
        return;
      crafted_segment a = syn;
      a.seq = 5001;
      a.ack = synack.seg.seq.v + 1;
      a.flags = TCP_ACK;
      a.window = 3;
      a.options.clear();
      send(a);
    });
    zt::handle_ptr f;
    const int rc = zorvsock_tcp_accept(l.h, f.h);
    ack.join();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(synack.seg.ack.v, 5001u);
    EXPECT_EQ(synack.option_bytes, k.our_option_bytes);
    EXPECT_EQ(synack.seg.opt.mss, 1460);
    EXPECT_EQ(f.h->tcp.tx_mss, 1400);
    EXPECT_EQ(f.h->tcp.peer_wscale, k.peer_wscale);
    EXPECT_EQ(f.h->tcp.own_wscale, k.own_wscale);
    EXPECT_EQ(f.h->tcp.tx_window, 3u << k.peer_wscale);
    EXPECT_EQ(f.h->tcp.data_desc.window, k.our_window);
    ++sport;
  }
}

}  // namespace
