// What a Linux peer sees of the card's TCP when our application is slow or a peer
// comes back on the same 4-tuple: the window we offer follows what the ring can still
// hold (also with a peer that announces window scale 0), the peer's FIN is acknowledged
// while the application does not read, a peer's reset ends a connection whose window
// it has filled, and a client reconnecting from its last local port to a peer in
// TIME_WAIT gets through. The peer is tcp_stream_peer in the peer namespace; that the
// traffic went over the card, and what the card's ring dropped, the simulator's
// counters tell.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "tcp_api_fixture.h"
#include "tcp_stream.h"
#include "tcp_stream_fixture.h"
#include "zorvsock.h"

namespace {

using namespace std::chrono_literals;
using clk = std::chrono::steady_clock;
using zt::as_u64;
using zt::sim_counter;
using zt::stream_peer;

constexpr uint64_t MIB = 1 << 20;
constexpr uint64_t PEER_SEED = 1;  // the stream the peer sends (its --seed default)

// Receives the peer's stream into check until `n` bytes have come, the stream ends or
// 60 s pass; the last receive's result (0 while data came).
int receive_stream(zorvsock_handle* h, zt::stream_check& check, uint64_t n) {
  const auto deadline = clk::now() + 60s;
  int rc = 0;
  while (check.bytes() < n && clk::now() < deadline) {
    const void* data = nullptr;
    rc = zorvsock_tcp_zc_receive(h, &data, nullptr);
    if (rc < 0) break;
    if (rc == 0) continue;
    check.take(static_cast<const uint8_t*>(data), size_t(rc));
    zorvsock_tcp_zc_receive_done(h);
  }
  return rc < 0 ? rc : 0;
}

// The first in-order data, taken and released: from then on the receive path, not the
// worker, meets the ring's control segments.
void receive_some(zorvsock_handle* h, zt::stream_check& check) {
  const auto deadline = clk::now() + 10s;
  while (check.bytes() == 0 && clk::now() < deadline) receive_stream(h, check, 1);
  ASSERT_GT(check.bytes(), 0u);
}

// A connection to the peer, established, whose first data the application has taken.
void open_and_read_some(zorvsock_handle* h, stream_peer& peer, uint16_t port,
                        zt::stream_check& check) {
  zt::connect_to(h, peer, port);
  if (!::testing::Test::HasFatalFailure()) receive_some(h, check);
}

// `ss -tni` of the peer's connections from its port `port`.
std::string peer_sockets(const char* states, uint16_t port) {
  return zt::peer_run(std::string("ss -tni state ") + states + " '( sport = :" +
                      std::to_string(port) + " )'")
      .out;
}

class TcpCarefulPeer : public zt::tcp_api_test {};

// ---- A slow reader -----------------------------------------------------------------

struct slow_reader_case {
  const char* name;
  uint16_t port;
  // The peer's own receive buffer, set before listen, and its namespace's largest:
  // small enough for a window that needs no scaling, so its SYN-ACK says shift 0.
  int peer_rcvbuf;  // 0: the kernel's default
  const char* peer_wscale;  // how the peer's `ss -ti` shows the shifts: ours,its
};

class TcpSlowReader : public TcpCarefulPeer,
                      public ::testing::WithParamInterface<slow_reader_case> {
 protected:
  void TearDown() override {
    if (GetParam().peer_rcvbuf) zt::peer_run("sysctl -qw net.ipv4.tcp_rmem='" + rmem_ + "'");
  }
  std::string rmem_;
};

// The application pauses 1.5 s while the peer streams 64 MiB at it. The window we offer
// closes as the ring fills and opens again as the application reads: the ring drops
// nothing, and the peer, which stops at our right edge, has nothing to resend.
TEST_P(TcpSlowReader, PausingAppDropsNothingAndThePeerResendsNothing) {
  const slow_reader_case& c = GetParam();
  const uint64_t n = 64 * MIB;
  std::string args = "listen " + std::to_string(c.port) + " --send " + std::to_string(n);
  if (c.peer_rcvbuf) {
    rmem_ = zt::peer_run("sysctl -n net.ipv4.tcp_rmem").out;
    while (!rmem_.empty() && rmem_.back() == '\n') rmem_.pop_back();
    ASSERT_EQ(zt::peer_run("sysctl -qw net.ipv4.tcp_rmem='4096 32768 65535'").status, 0);
    args += " --rcvbuf " + std::to_string(c.peer_rcvbuf);
  }
  stream_peer peer(args);
  const long drops = sim_counter("tcp_rx_drop_ring_full");
  const long delivered = sim_counter("tcp_rx_delivered");
  zt::handle_ptr h;
  zt::stream_check check(PEER_SEED);
  open_and_read_some(h.h, peer, c.port, check);
  ASSERT_FALSE(HasFatalFailure());
  std::this_thread::sleep_for(1500ms);
  EXPECT_NE(peer_sockets("established", c.port).find(std::string("wscale:") + c.peer_wscale),
            std::string::npos)
      << peer_sockets("established", c.port);
  EXPECT_EQ(receive_stream(h.h, check, n), 0);
  EXPECT_EQ(check.bytes(), n);
  EXPECT_EQ(check.first_bad(), -1);
  zt::close_ours(h.h);
  auto rep = peer.report();
  EXPECT_EQ(rep["sent"], std::to_string(n));
  EXPECT_EQ(sim_counter("tcp_rx_drop_ring_full"), drops);
  EXPECT_GT(sim_counter("tcp_rx_delivered") - delivered, long(n / 1460));
  EXPECT_LE(as_u64(rep["retrans"]), 5u) << "the peer resent segments";
}

INSTANTIATE_TEST_SUITE_P(
    Peer, TcpSlowReader,
    ::testing::Values(slow_reader_case{"scaling", 7560, 0, "7,"},
                      slow_reader_case{"shift_0", 7561, 32768, "7,0"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The peer's FIN while the application does not read ------------------------------

// The peer sends a little and closes. The FIN is in the ring behind data the application
// has not read: acknowledged at once, it leaves the peer in FIN-WAIT-2 and resending
// nothing; our state moves on only once the application has read up to it.
TEST_F(TcpCarefulPeer, PeersFinIsAcknowledgedBeforeTheAppReadsUpToIt) {
  constexpr uint16_t PORT = 7562;
  const uint64_t n = 1 * MIB;
  stream_peer peer("listen " + std::to_string(PORT) + " --send " + std::to_string(n) +
                   " --close");
  zt::handle_ptr h;
  zt::stream_check check(PEER_SEED);
  open_and_read_some(h.h, peer, PORT, check);
  ASSERT_FALSE(HasFatalFailure());
  std::this_thread::sleep_for(1500ms);
  const std::string waiting = peer_sockets("fin-wait-2", PORT);
  EXPECT_NE(waiting.find("198.18.0.1"), std::string::npos)
      << waiting << peer_sockets("all", PORT);
  EXPECT_EQ(zorvsock_tcp_get_status(h.h), ZORVSOCK_TCP_ESTABLISHED);
  EXPECT_EQ(receive_stream(h.h, check, n + 1), -107);
  EXPECT_EQ(check.bytes(), n);
  EXPECT_EQ(check.first_bad(), -1);
  EXPECT_EQ(zorvsock_tcp_get_status(h.h), ZORVSOCK_TCP_CLOSE_WAIT);
  EXPECT_EQ(zorvsock_tcp_disconnect(h.h), 0);
  EXPECT_EQ(zt::wait_state(h.h, ZORVSOCK_TCP_CLOSED), ZORVSOCK_TCP_CLOSED);
  auto rep = peer.report();
  EXPECT_EQ(rep["eof"], "1");
  EXPECT_EQ(rep["retrans"], "0") << "the peer resent its FIN";
}

// ---- A reset beyond what the application has read -----------------------------------

// The peer fills our window while the application reads nothing, then resets: its
// RST carries its next sequence number, our right edge, far beyond what the application
// consumed. The application only sends; the connection ends at the reset all the same.
TEST_F(TcpCarefulPeer, ResetAtTheRightEdgeEndsAConnectionWhoseReaderSleeps) {
  constexpr uint16_t PORT = 7563;
  stream_peer peer("listen " + std::to_string(PORT) + " --send " + std::to_string(256 * MIB) +
                   " --abort 2");
  zt::handle_ptr h;
  zt::stream_check check(PEER_SEED);
  open_and_read_some(h.h, peer, PORT, check);
  ASSERT_FALSE(HasFatalFailure());
  auto rep = peer.report();  // the peer has reset the connection
  EXPECT_EQ(rep["reset"], "1");
  const uint8_t byte = 1;
  int rc = 0;
  const auto deadline = clk::now() + 3s;
  while (rc >= 0 && clk::now() < deadline) {
    rc = zorvsock_tcp_send(h.h, &byte, 1, nullptr);
    if (rc == 0 || rc == -11) std::this_thread::sleep_for(10ms);
    if (rc == -11) rc = 0;
  }
  EXPECT_LT(rc, 0) << "sends went on after the peer's reset";
  EXPECT_EQ(zorvsock_tcp_get_status(h.h), ZORVSOCK_TCP_CLOSED);
  EXPECT_EQ(zorvsock_tcp_was_reset(h.h), 1);
}

// ---- Reconnecting to a peer in TIME_WAIT -----------------------------------------------

// The peer closes first each time and so holds the 4-tuple in TIME_WAIT for a minute;
// our next connection from the same local port must still open at once, five times in
// a row.
TEST_F(TcpCarefulPeer, ReconnectFromTheSameLocalPortToAPeerInTimeWait) {
  constexpr uint16_t PORT = 7564;
  constexpr uint16_t LOCAL_PORT = 47564;
  constexpr int ROUNDS = 5;
  const uint64_t n = 1000;
  stream_peer peer("listen " + std::to_string(PORT) + " --send " + std::to_string(n) +
                   " --close --count " + std::to_string(ROUNDS));
  ASSERT_TRUE(peer.wait_ready()) << peer.job.result.out;
  for (int round = 0; round < ROUNDS; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    zt::handle_ptr h;
    ASSERT_EQ(zorvsock_tcp_connect(h.h, "kvel0", LOCAL_PORT, zt::PEER_IP, PORT), 0);
    const auto t0 = clk::now();
    ASSERT_TRUE(zt::wait_until(
        [&] { return zorvsock_tcp_get_status(h.h) == ZORVSOCK_TCP_ESTABLISHED; }, 3000))
        << "state " << zorvsock_tcp_state_str(zorvsock_tcp_get_status(h.h)) << " after "
        << std::chrono::duration<double>(clk::now() - t0).count() << " s; peer: "
        << peer_sockets("all", PORT);
    zt::stream_check check(PEER_SEED);
    EXPECT_EQ(receive_stream(h.h, check, n + 1), -107);
    EXPECT_EQ(check.bytes(), n);
    EXPECT_EQ(zorvsock_tcp_disconnect(h.h), 0);
    EXPECT_EQ(zt::wait_state(h.h, ZORVSOCK_TCP_CLOSED), ZORVSOCK_TCP_CLOSED);
  }
  auto rep = peer.report();
  EXPECT_EQ(rep["connections"], std::to_string(ROUNDS));
}

}  // namespace
