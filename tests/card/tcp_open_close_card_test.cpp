// Opening and closing connections over the card against the Linux kernel in the peer
// namespace, watched on the peer's wire: the handshake segments with their options in
// both directions, the public states, a refused connect, SYN resends to a peer that
// hears nothing, the peer's FIN and RST, our FIN, the half-closed connection either
// way, both FINs crossing, and what release leaves behind.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tcp_wire_fixture.h"

namespace {

using namespace std::chrono_literals;
using zt::from_port;
using zt::with_flag;
using zt::handle_ptr;
using zt::wire_recorder;
using zt::wire_segment;
using vyxtcp::TCP_ACK;
using vyxtcp::TCP_FIN;
using vyxtcp::TCP_RST;
using vyxtcp::TCP_SYN;

constexpr uint32_t OWN_SHIFT = 7;        // the 16 MiB ring's quarter fits 16 bits after 7 halvings
constexpr uint16_t OWN_WINDOW = 32768;   // 4 MiB >> 7
constexpr uint16_t SYN_WINDOW = 65000;
constexpr size_t MIB = size_t(1) << 20;

tcp_info peer_tcp_info(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len);
  return info;
}

// Our SYN or SYN-ACK: MSS 1460 and, when `scaled`, NOP and window scale 7; window
// field 65000.
void expect_own_syn(const wire_segment& s, bool scaled) {
  EXPECT_EQ(s.seg.opt.mss, 1460);
  EXPECT_EQ(s.option_bytes, scaled ? 8 : 4);
  EXPECT_EQ(s.seg.opt.has_wscale, scaled ? 1 : 0);
  if (scaled) {
    EXPECT_EQ(s.seg.opt.wscale, OWN_SHIFT);
  }
  EXPECT_EQ(s.seg.window, SYN_WINDOW);
  EXPECT_EQ(s.payload_len(), 0u);
}

using TcpOpenClose = zt::tcp_peer_test;

TEST_F(TcpOpenClose, ActiveOpenSynCarriesOurOptionsAndTheThirdAckOurScaledWindow) {
  const int lfd = keep(zt::peer_tcp_listener(7500));
  ASSERT_GE(lfd, 0);
  wire_recorder rec(7500);
  handle_ptr c;
  ASSERT_EQ(zorvsock_tcp_connect(c.h, "kvel0", 7600, zt::PEER_IP, 7500), 0);
  const std::vector<int> seen = zt::states_until(c.h, ZORVSOCK_TCP_ESTABLISHED);
  ASSERT_EQ(seen.back(), ZORVSOCK_TCP_ESTABLISHED);
  for (size_t i = 0; i + 1 < seen.size(); ++i) EXPECT_EQ(seen[i], ZORVSOCK_TCP_SYN_ST);
  const int conn = keep(accept(lfd, nullptr, nullptr));
  ASSERT_GE(conn, 0);

  wire_segment syn, synack, ack;
  ASSERT_TRUE(rec.wait_for(from_port(7600, TCP_SYN), &syn));
  expect_own_syn(syn, true);
  EXPECT_EQ(syn.seg.ack.v, 0u);
  EXPECT_EQ(syn.src_ip, zt::HOST_IP);
  ASSERT_TRUE(rec.wait_for(from_port(7500, TCP_SYN | TCP_ACK), &synack));
  EXPECT_EQ(synack.seg.ack.v, syn.seg.seq.v + 1);
  ASSERT_TRUE(rec.wait_for(from_port(7600, TCP_ACK), &ack));
  EXPECT_EQ(ack.seg.seq.v, syn.seg.seq.v + 1);
  EXPECT_EQ(ack.seg.ack.v, synack.seg.seq.v + 1);
  EXPECT_EQ(ack.payload_len(), 0u);
  // A peer that scales gets our window in units of 2^7; one that does not, 65000.
  const bool peer_scales = synack.seg.opt.has_wscale && synack.seg.opt.wscale != 0;
  EXPECT_EQ(ack.seg.window, peer_scales ? OWN_WINDOW : SYN_WINDOW);
  EXPECT_EQ(rec.matching(from_port(7600, TCP_SYN)).size(), 1u);
  // The peer's kernel read our options the same way.
  const tcp_info info = peer_tcp_info(conn);
  EXPECT_EQ(info.tcpi_snd_wscale, OWN_SHIFT);
  EXPECT_EQ(info.tcpi_snd_mss, 1460u);
}

TEST_F(TcpOpenClose, PassiveOpenSynAckAnswersThePeersSynWithOurOptions) {
  handle_ptr l, f;
  ASSERT_EQ(zorvsock_tcp_create_listener(l.h, "kvel0", 7501), 0);
  wire_recorder rec(7501);
  const int pc = keep(zt::peer_tcp_connect_start(7501));
  ASSERT_GE(pc, 0);
  ASSERT_TRUE(zt::wait_until([&] { return zorvsock_tcp_accept_ready(l.h) == 1; }, 5000));
  ASSERT_EQ(zorvsock_tcp_accept(l.h, f.h), 0);
  EXPECT_EQ(zorvsock_tcp_get_status(f.h), ZORVSOCK_TCP_ESTABLISHED);
  ASSERT_TRUE(zt::peer_tcp_connect_finish(pc));

  uint32_t ip = 0;
  uint16_t peer_port = 0;
  ASSERT_EQ(zorvsock_tcp_get_peer(f.h, &ip, &peer_port), 0);
  wire_segment syn, synack, ack;
  ASSERT_TRUE(rec.wait_for(from_port(peer_port, TCP_SYN), &syn));
  ASSERT_TRUE(rec.wait_for(from_port(7501, TCP_SYN | TCP_ACK), &synack));
  EXPECT_EQ(synack.seg.ack.v, syn.seg.seq.v + 1);
  EXPECT_EQ(synack.src_ip, zt::HOST_IP);
  expect_own_syn(synack, syn.seg.opt.has_wscale && syn.seg.opt.wscale != 0);
  ASSERT_TRUE(rec.wait_for(from_port(peer_port, TCP_ACK), &ack));
  EXPECT_EQ(ack.seg.ack.v, synack.seg.seq.v + 1);
  EXPECT_EQ(rec.matching(from_port(7501, TCP_SYN | TCP_ACK)).size(), 1u);
  const tcp_info info = peer_tcp_info(pc);
  EXPECT_EQ(info.tcpi_snd_wscale, OWN_SHIFT);
  EXPECT_EQ(info.tcpi_snd_mss, 1460u);

  // The windows agreed on carry data both ways.
  EXPECT_EQ(zt::peer_send_pattern(pc, 3000), 3000u);
  EXPECT_EQ(zt::receive_pattern(f.h, 3000).bytes, 3000u);
  EXPECT_EQ(zt::send_pattern(f.h, 3000), 3000u);
  EXPECT_EQ(zt::peer_receive_pattern(pc, 3000), 3000u);
}

// The peer's kernel answers a SYN to a closed port with RST+ACK for ISN + 1: that one
// reset closes the connection, before the first resend was due.
TEST_F(TcpOpenClose, RefusedConnectClosesOnThePeersFirstReset) {
  wire_recorder rec(7502);
  handle_ptr c;
  ASSERT_EQ(zorvsock_tcp_connect(c.h, "kvel0", 7602, zt::PEER_IP, 7502), 0);
  EXPECT_EQ(zt::wait_state(c.h, ZORVSOCK_TCP_CLOSED), ZORVSOCK_TCP_CLOSED);
  wire_segment syn, rst;
  ASSERT_TRUE(rec.wait_for(from_port(7602, TCP_SYN), &syn));
  ASSERT_TRUE(rec.wait_for(from_port(7502, TCP_RST | TCP_ACK), &rst));
  EXPECT_EQ(rst.seg.ack.v, syn.seg.seq.v + 1);
  std::this_thread::sleep_for(1500ms);  // past the first resend's time
  EXPECT_EQ(rec.matching(from_port(7602, TCP_SYN)).size(), 1u);
  EXPECT_EQ(zorvsock_tcp_get_status(c.h), ZORVSOCK_TCP_CLOSED);
  uint32_t ip;
  uint16_t port;
  EXPECT_EQ(zorvsock_tcp_get_peer(c.h, &ip, &port), -107);
  EXPECT_EQ(zorvsock_tcp_send(c.h, "x", 1, nullptr), -104);
  const void* data = nullptr;
  EXPECT_EQ(zorvsock_tcp_zc_receive(c.h, &data, nullptr), -107);
  EXPECT_EQ(data, nullptr);
}

// A peer whose firewall swallows our SYNs: the SYN comes again after 1, 1 and 4 s, each
// time with the same initial sequence number and options, while the status stays
// SYN_ST.
TEST_F(TcpOpenClose, SilentPeerGetsTheSynResentOnScheduleWithTheSameIsn) {
  zt::peer_drop drop("tcp dport 7503");
  ASSERT_TRUE(drop.ok);
  wire_recorder rec(7503);
  {
    handle_ptr c;
    ASSERT_EQ(zorvsock_tcp_connect(c.h, "kvel0", 7603, zt::PEER_IP, 7503), 0);
    const auto syns = [&] { return rec.matching(from_port(7603, TCP_SYN)); };
    ASSERT_TRUE(zt::wait_until([&] { return syns().size() >= 4; }, 9000)) << syns().size();
    const std::vector<wire_segment> s = syns();
    const double gaps[] = {1, 1, 4};
    for (size_t i = 0; i < 4; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(s[i].seg.seq.v, s[0].seg.seq.v);
      expect_own_syn(s[i], true);
      if (i > 0) {
        EXPECT_EQ(std::round(s[i].t - s[i - 1].t), gaps[i - 1]);
      }
    }
    EXPECT_EQ(zorvsock_tcp_get_status(c.h), ZORVSOCK_TCP_SYN_ST);
    uint32_t ip = 0;
    uint16_t port = 0;
    EXPECT_EQ(zorvsock_tcp_get_peer(c.h, &ip, &port), 0);
    EXPECT_EQ(port, 7503);
    EXPECT_EQ(zorvsock_tcp_send(c.h, "x", 1, nullptr), -11);  // still opening
  }
  // A connection that never opened ends silently at release.
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(rec.matching(with_flag(7603, TCP_RST)).empty());
}

// A peer whose SYN is taken but which never answers our SYN-ACK (the SYN was made by
// hand, so its kernel knows nothing of it, and is kept deaf to the SYN-ACK): the SYN-ACK,
// without window scale for a SYN without it, comes again after 1 and 1 s with the same
// initial sequence number while the accept waits; the accept gives up after about
// 5 s, before the resend due at 6 s, with -11, and the fresh handle ends silently.
TEST_F(TcpOpenClose, SilentPeerGetsTheSynAckResentWithTheSameIsnUntilAcceptGivesUp) {
  const zt::crafted_sender peer;
  ASSERT_TRUE(peer.ready());
  zt::peer_drop drop("tcp sport 7504");
  ASSERT_TRUE(drop.ok);
  wire_recorder rec(7504);
  handle_ptr l;
  ASSERT_EQ(zorvsock_tcp_create_listener(l.h, "kvel0", 7504), 0);
  zt::crafted_segment syn;
  syn.sport = 41504;
  syn.dport = 7504;
  syn.seq = 9000;
  syn.flags = TCP_SYN;
  syn.options = zt::mss_option(1460);
  ASSERT_TRUE(peer.send(syn));
  ASSERT_TRUE(zt::wait_until([&] { return zorvsock_tcp_accept_ready(l.h) == 1; }, 3000));
  {
    handle_ptr f;
    EXPECT_EQ(zorvsock_tcp_accept(l.h, f.h), -11);
    EXPECT_EQ(zorvsock_tcp_get_status(f.h), ZORVSOCK_TCP_CLOSED);
  }
  const std::vector<wire_segment> s = rec.matching(from_port(7504, TCP_SYN | TCP_ACK));
  ASSERT_EQ(s.size(), 3u);  // at 0, 1 and 2 s
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(s[i].seg.seq.v, s[0].seg.seq.v);
    EXPECT_EQ(s[i].seg.ack.v, 9001u);
    expect_own_syn(s[i], false);
    if (i > 0) {
      EXPECT_EQ(std::round(s[i].t - s[i - 1].t), 1);
    }
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(rec.matching(with_flag(7504, TCP_RST)).empty());
}

// The peer closes, by FIN or by RST, before it has sent any data and after it has sent
// this many bytes: the first leaves control segments to the worker, the second to the
// receive path.
class TcpPeerCloses : public TcpOpenClose, public testing::WithParamInterface<size_t> {
 protected:
  const size_t n = GetParam();
  // The peer's port of a test, one for each parameter; ours is 100 above it.
  uint16_t peer_port(uint16_t base) const { return uint16_t(base + n % 7); }
};

// The peer's reading end in a thread of its own: n pattern bytes, then what comes next.
struct peer_reader {
  size_t good = 0;
  std::atomic<bool> read{false};  // the n bytes are in (or will not come)
  std::string then;
  std::thread thread;
  peer_reader(int fd, size_t n)
      : thread([this, fd, n] {
          good = zt::peer_receive_pattern(fd, n);
          read = true;
          then = zt::peer_next_event(fd);
        }) {}
  ~peer_reader() { join(); }
  void join() {
    if (thread.joinable()) thread.join();
  }
};

// The peer sends its request and shuts its sending side (as `printf ... | socat` does):
// we receive the request and the end of its stream, and the connection is half closed.
// The reply, a mebibyte in one send, still reaches the peer whole; our FIN follows it
// and the peer's ACK of it closes the connection. The peer closed first, so its socket
// ends in TIME_WAIT.
TEST_P(TcpPeerCloses, FinFirstLeavesUsHalfClosedUntilOurReplyAndFin) {
  const uint16_t port = peer_port(7510), lport = uint16_t(port + 100);
  wire_recorder rec(port);
  // The close alone, recorded once the reply is in: a mebibyte on the wire may be more
  // than the recorder keeps up with.
  std::optional<wire_recorder> closing_rec;
  {
    handle_ptr c;
    const int conn = open_active(c, lport, port);
    ASSERT_GE(conn, 0);
    EXPECT_EQ(zt::peer_send_pattern(conn, n), n);
    ASSERT_EQ(shutdown(conn, SHUT_WR), 0);
    if (n > 0) {
      const zt::receive_result r = zt::receive_pattern(c.h);
      EXPECT_EQ(r.bytes, n);
      EXPECT_EQ(r.first_bad, -1);
      EXPECT_EQ(r.end, -107);
    }
    EXPECT_EQ(zt::wait_state(c.h, ZORVSOCK_TCP_CLOSE_WAIT), ZORVSOCK_TCP_CLOSE_WAIT);
    const void* data = &data;
    EXPECT_EQ(zorvsock_tcp_zc_receive(c.h, &data, nullptr), -107);
    EXPECT_EQ(data, nullptr);
    // The peer's FIN is acknowledged, and nothing of ours ends our side yet.
    wire_segment fin;
    ASSERT_TRUE(rec.wait_for(with_flag(port, TCP_FIN), &fin));
    const uint32_t fin_ack = fin.seg.fin_seq().v + 1;
    EXPECT_TRUE(rec.wait_for(
        [&](const wire_segment& s) { return s.seg.src_port == lport && s.seg.ack.v == fin_ack; },
        nullptr));
    EXPECT_TRUE(zt::wait_until(
        [&] { return zt::peer_socket_states(port, lport) == std::vector<std::string>{"FIN-WAIT-2"}; },
        3000));
    EXPECT_TRUE(rec.matching(with_flag(lport, TCP_FIN)).empty());

    peer_reader reader(conn, MIB);
    std::vector<uint8_t> reply(MIB);
    for (size_t i = 0; i < MIB; ++i) reply[i] = zt::pattern_byte(i);
    EXPECT_EQ(zorvsock_tcp_send_ready(c.h), 1);
    EXPECT_EQ(zorvsock_tcp_send(c.h, reply.data(), int(MIB), nullptr), 0);
    EXPECT_EQ(zorvsock_tcp_get_status(c.h), ZORVSOCK_TCP_CLOSE_WAIT);
    EXPECT_TRUE(zt::wait_until([&] { return reader.read.load(); }, 10000));
    closing_rec.emplace(port);
    EXPECT_EQ(zorvsock_tcp_disconnect(c.h), 0);
    const std::vector<int> closing = zt::states_until(c.h, ZORVSOCK_TCP_CLOSED);
    EXPECT_EQ(closing, (closing.size() == 1 ? std::vector<int>{ZORVSOCK_TCP_CLOSED}
                                            : std::vector<int>{ZORVSOCK_TCP_LAST_ACK,
                                                               ZORVSOCK_TCP_CLOSED}));
    reader.join();
    EXPECT_EQ(reader.good, MIB);
    EXPECT_EQ(reader.then, "eof");
    EXPECT_EQ(zt::peer_socket_states(port, lport), std::vector<std::string>{"TIME-WAIT"});
    EXPECT_EQ(zorvsock_tcp_send(c.h, "x", 1, nullptr), -104);
    EXPECT_EQ(zorvsock_tcp_zc_receive(c.h, &data, nullptr), -107);
  }
  ASSERT_TRUE(closing_rec.has_value());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(closing_rec->matching(from_port(lport, TCP_FIN | TCP_ACK)).size(), 1u);  // not resent
  EXPECT_TRUE(closing_rec->matching(with_flag(lport, TCP_RST)).empty());
}

// The peer's kernel resets the connection (SO_LINGER 0): the state becomes closed,
// later calls give their errors, and release sends nothing.
TEST_P(TcpPeerCloses, ResetClosesAndLaterCallsGiveClearErrors) {
  const uint16_t port = peer_port(7520), lport = uint16_t(port + 100);
  wire_recorder rec(port);
  {
    handle_ptr c;
    const int conn = open_active(c, lport, port);
    ASSERT_GE(conn, 0);
    EXPECT_EQ(zt::send_pattern(c.h, 2000), 2000u);
    EXPECT_EQ(zt::peer_receive_pattern(conn, 2000), 2000u);
    if (n > 0) {
      EXPECT_EQ(zt::peer_send_pattern(conn, n), n);
      EXPECT_EQ(zt::receive_pattern(c.h, n).bytes, n);
    }
    const linger hard{1, 0};
    ASSERT_EQ(setsockopt(conn, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    close_now(conn);
    ASSERT_TRUE(rec.wait_for(with_flag(port, TCP_RST), nullptr));
    // Once data has come, the receive path meets the control segments.
    if (n > 0) {
      EXPECT_EQ(zt::receive_pattern(c.h).end, -107);
    }
    EXPECT_EQ(zt::wait_state(c.h, ZORVSOCK_TCP_CLOSED), ZORVSOCK_TCP_CLOSED);
    EXPECT_EQ(zorvsock_tcp_send(c.h, "x", 1, nullptr), -104);
    const void* data = nullptr;
    EXPECT_EQ(zorvsock_tcp_zc_receive(c.h, &data, nullptr), -107);
    EXPECT_EQ(zorvsock_tcp_disconnect(c.h), 0);
    EXPECT_EQ(zorvsock_tcp_get_status(c.h), ZORVSOCK_TCP_CLOSED);
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(rec.matching(with_flag(lport, TCP_RST)).empty());
}

INSTANTIATE_TEST_SUITE_P(PeerData, TcpPeerCloses, testing::Values(size_t(0), size_t(3000)),
                         [](const testing::TestParamInfo<size_t>& p) {
                           return p.param ? "AfterData" : "BeforeData";
                         });

// Our FIN first: the peer reads its end of file, and still sends a mebibyte, which we
// receive whole; once the peer's FIN is acknowledged the connection rests in
// TIME_WAIT, reset on release is off, and release sends nothing to a peer that has
// already closed.
TEST_F(TcpOpenClose, OurFinThenThePeersDataAndFinEndsInTimeWaitAndReleaseSendsNothing) {
  wire_recorder rec(7530);
  {
    handle_ptr c;
    const int conn = open_active(c, 7630, 7530);
    ASSERT_GE(conn, 0);
    EXPECT_EQ(zt::send_pattern(c.h, 1000), 1000u);
    EXPECT_EQ(zorvsock_tcp_disconnect(c.h), 0);
    EXPECT_EQ(zorvsock_tcp_get_status(c.h), ZORVSOCK_TCP_FIN_WAIT1);
    EXPECT_EQ(zt::peer_receive_pattern(conn, 1000), 1000u);
    EXPECT_EQ(zt::peer_next_event(conn), "eof");
    EXPECT_EQ(zt::wait_state(c.h, ZORVSOCK_TCP_FIN_WAIT2), ZORVSOCK_TCP_FIN_WAIT2);
    EXPECT_EQ(zorvsock_tcp_send(c.h, "x", 1, nullptr), -104);
    const void* data = &data;
    EXPECT_EQ(zorvsock_tcp_zc_receive(c.h, &data, nullptr), 0) << "nothing sent yet";
    EXPECT_EQ(data, nullptr);
    std::thread writer([conn] {
      EXPECT_EQ(zt::peer_send_pattern(conn, MIB), MIB);
      EXPECT_EQ(shutdown(conn, SHUT_WR), 0);
    });
    const zt::receive_result r = zt::receive_pattern(c.h);
    writer.join();
    EXPECT_EQ(r.bytes, MIB);
    EXPECT_EQ(r.first_bad, -1);
    EXPECT_EQ(r.end, -107);
    EXPECT_EQ(zt::wait_state(c.h, ZORVSOCK_TCP_TIME_WAIT), ZORVSOCK_TCP_TIME_WAIT);
    // The peer's FIN was acknowledged: its socket is gone.
    EXPECT_TRUE(zt::wait_until([] { return zt::peer_socket_states(7530, 7630).empty(); }, 3000))
        << zt::peer_socket_states(7530, 7630).size();
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(rec.matching(with_flag(7630, TCP_RST)).empty());
  EXPECT_EQ(rec.matching(from_port(7630, TCP_FIN | TCP_ACK)).size(), 1u);
}

// Both sides close at once: the peer's firewall holds our FIN back until the peer's own
// FIN, which does not acknowledge ours, has reached us (CLOSING); our FIN's resend then
// acknowledges the peer's and both sockets end in TIME_WAIT.
TEST_F(TcpOpenClose, SimultaneousCloseGoesThroughClosingToTimeWaitOnBothSides) {
  wire_recorder rec(7532);
  {
    handle_ptr c;
    const int conn = open_active(c, 7632, 7532);
    ASSERT_GE(conn, 0);
    EXPECT_EQ(zt::peer_send_pattern(conn, 3000), 3000u);
    EXPECT_EQ(zt::receive_pattern(c.h, 3000).bytes, 3000u);
    std::optional<zt::peer_drop> deaf;
    deaf.emplace("tcp sport 7632");
    ASSERT_TRUE(deaf->ok);
    EXPECT_EQ(zorvsock_tcp_disconnect(c.h), 0);
    ASSERT_TRUE(rec.wait_for(from_port(7632, TCP_FIN | TCP_ACK), nullptr));
    ASSERT_EQ(shutdown(conn, SHUT_WR), 0);
    EXPECT_EQ(zt::wait_state(c.h, ZORVSOCK_TCP_CLOSING), ZORVSOCK_TCP_CLOSING);
    deaf.reset();
    EXPECT_EQ(zt::wait_state(c.h, ZORVSOCK_TCP_TIME_WAIT), ZORVSOCK_TCP_TIME_WAIT);
    EXPECT_EQ(zt::peer_next_event(conn), "eof");
    EXPECT_TRUE(zt::wait_until(
        [] { return zt::peer_socket_states(7532, 7632) == std::vector<std::string>{"TIME-WAIT"}; },
        3000));
    const void* data = &data;
    EXPECT_EQ(zorvsock_tcp_zc_receive(c.h, &data, nullptr), -107);
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(rec.matching(with_flag(7632, TCP_RST)).empty());
}

// Released while established: the driver's reset, with the connection's sequence
// numbers, and the peer's socket is gone.
TEST_F(TcpOpenClose, ReleaseWhileEstablishedResetsWithTheConnectionsNumbers) {
  wire_recorder rec(7531);
  uint32_t tx_seq = 0, rx_seq = 0;
  int conn = -1;
  {
    handle_ptr c;
    conn = open_active(c, 7631, 7531);
    ASSERT_GE(conn, 0);
    EXPECT_EQ(zt::send_pattern(c.h, 1000), 1000u);
    EXPECT_EQ(zt::peer_receive_pattern(conn, 1000), 1000u);
    // All our data acknowledged: the card's acknowledgement block has caught up.
    ASSERT_TRUE(zt::wait_until([&] { return c.h->tcp_hw.txack_->ack == c.h->tcp.tx_seq.load().v; }, 3000));
    tx_seq = c.h->tcp.tx_seq.load().v;
    rx_seq = c.h->tcp.rx_seq.load().v;
  }
  wire_segment rst;
  ASSERT_TRUE(rec.wait_for(with_flag(7631, TCP_RST), &rst));
  EXPECT_EQ(rst.seg.seq.v, tx_seq);
  if (rst.seg.has(TCP_ACK)) {
    EXPECT_EQ(rst.seg.ack.v, rx_seq);
  }
  EXPECT_EQ(zt::peer_next_event(conn), "reset");
  EXPECT_TRUE(zt::peer_socket_states(7531, 7631).empty());
}

}  // namespace
