// The exported TCP calls against the Linux kernel in the peer namespace: active and
// passive open, data both ways, both ways of closing, a refused connect, reset on
// release, the calls' answers to bad arguments and to handles without a connection.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tcp_api_fixture.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

using namespace std::chrono_literals;
using clk = std::chrono::steady_clock;
using zt::handle_ptr;
using zt::receive_pattern;
using zt::receive_result;
using zt::send_pattern;
using zt::states_until;
using zt::tcp_peer;
using zt::tcp_peer_tool;
using zt::wait_state;

constexpr int MIB = 1 << 20;

class TcpApi : public zt::tcp_api_test {};

TEST_F(TcpApi, ActiveOpenCarriesAMebibyteEachWayAndThePeersFinComesAfterItsData) {
  tcp_peer peer("serve 7100 --recv " + std::to_string(MIB) + " --send " + std::to_string(MIB) +
                " --peer-fin");
  ASSERT_TRUE(peer.wait_ready());
  handle_ptr c;
  ASSERT_EQ(zorvsock_tcp_connect(c.h, "kvel0", 0, zt::PEER_IP, 7100), 0);
  const std::vector<int> seen = states_until(c.h, ZORVSOCK_TCP_ESTABLISHED);
  ASSERT_EQ(seen.back(), ZORVSOCK_TCP_ESTABLISHED);
  // The handshake may be over by the first look; nothing else comes in between.
  for (size_t i = 0; i + 1 < seen.size(); ++i) EXPECT_EQ(seen[i], ZORVSOCK_TCP_SYN_ST);
  uint32_t ip = 0;
  uint16_t port = 0;
  ASSERT_EQ(zorvsock_tcp_get_peer(c.h, &ip, &port), 0);
  EXPECT_EQ(ip, zt::PEER_IP);
  EXPECT_EQ(port, 7100);

  EXPECT_EQ(send_pattern(c.h, MIB), size_t(MIB));
  const receive_result r = receive_pattern(c.h);
  EXPECT_EQ(r.bytes, size_t(MIB));
  EXPECT_EQ(r.first_bad, -1);
  EXPECT_EQ(r.end, -107);
  // The peer's FIN leaves the connection half closed until our disconnect sends our FIN;
  // the peer's ACK of it closes the connection.
  EXPECT_EQ(zorvsock_tcp_get_status(c.h), ZORVSOCK_TCP_CLOSE_WAIT);
  EXPECT_EQ(zorvsock_tcp_disconnect(c.h), 0);
  const std::vector<int> closing = states_until(c.h, ZORVSOCK_TCP_CLOSED);
  EXPECT_EQ(closing, (closing.size() == 1 ? std::vector<int>{ZORVSOCK_TCP_CLOSED}
                                          : std::vector<int>{ZORVSOCK_TCP_LAST_ACK,
                                                             ZORVSOCK_TCP_CLOSED}));
  auto rep = peer.report();
  EXPECT_EQ(rep["received"], std::to_string(MIB));
  EXPECT_EQ(rep["bad"], "-1");
  EXPECT_EQ(rep["eof"], "1");
  EXPECT_EQ(zorvsock_tcp_send(c.h, "x", 1, nullptr), -104);
}

// An established connection from lport to the peer's server on port, which has been
// sent n pattern bytes.
void open_and_send(tcp_peer& peer, handle_ptr& c, uint16_t lport, uint16_t port, size_t n) {
  ASSERT_TRUE(peer.wait_ready());
  ASSERT_EQ(zorvsock_tcp_connect(c.h, "kvel0", lport, zt::PEER_IP, port), 0);
  ASSERT_EQ(wait_state(c.h, ZORVSOCK_TCP_ESTABLISHED), ZORVSOCK_TCP_ESTABLISHED);
  EXPECT_EQ(send_pattern(c.h, n), n);
}

TEST_F(TcpApi, OurDisconnectEndsInTimeWaitAfterThePeersFin) {
  tcp_peer peer("serve 7101 --recv 3000");
  handle_ptr c;
  open_and_send(peer, c, 7201, 7101, 3000);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(zorvsock_tcp_disconnect(c.h), 0);
  EXPECT_EQ(zorvsock_tcp_get_status(c.h), ZORVSOCK_TCP_FIN_WAIT1);
  EXPECT_EQ(wait_state(c.h, ZORVSOCK_TCP_TIME_WAIT), ZORVSOCK_TCP_TIME_WAIT);
  auto rep = peer.report();
  EXPECT_EQ(rep["received"], "3000");
  EXPECT_EQ(rep["bad"], "-1");
  EXPECT_EQ(rep["eof"], "1");
}

TEST_F(TcpApi, PassiveOpenAcceptsThePeersConnectIntoAFreshHandle) {
  handle_ptr l, f, empty;
  ASSERT_EQ(zorvsock_tcp_create_listener(l.h, "kvel0", 7300), 0);
  EXPECT_EQ(zorvsock_tcp_accept_ready(l.h), 0);
  EXPECT_EQ(zorvsock_tcp_accept(l.h, empty.h), -11);  // nothing pending: at once
  EXPECT_EQ(zorvsock_tcp_get_status(empty.h), ZORVSOCK_TCP_CLOSED);

  tcp_peer peer("connect 198.18.0.1 7300 --recv 5000 --send 7000 --peer-fin");
  const auto deadline = clk::now() + 30s;  // the peer is a python3
  while (zorvsock_tcp_accept_ready(l.h) != 1 && clk::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(zorvsock_tcp_accept(l.h, f.h), 0);
  EXPECT_EQ(zorvsock_tcp_get_status(f.h), ZORVSOCK_TCP_ESTABLISHED);
  uint32_t ip = 0;
  uint16_t port = 0;
  ASSERT_EQ(zorvsock_tcp_get_peer(f.h, &ip, &port), 0);
  EXPECT_EQ(ip, zt::PEER_IP);
  EXPECT_NE(port, 0);
  EXPECT_EQ(send_pattern(f.h, 5000), 5000u);
  const receive_result r = receive_pattern(f.h);
  EXPECT_EQ(r.bytes, 7000u);
  EXPECT_EQ(r.first_bad, -1);
  EXPECT_EQ(zorvsock_tcp_get_status(f.h), ZORVSOCK_TCP_CLOSE_WAIT);
  EXPECT_EQ(zorvsock_tcp_disconnect(f.h), 0);
  EXPECT_EQ(wait_state(f.h, ZORVSOCK_TCP_CLOSED), ZORVSOCK_TCP_CLOSED);
  auto rep = peer.report();
  EXPECT_EQ(rep["received"], "5000");
  EXPECT_EQ(rep["bad"], "-1");
  // The listener stays one, and a used handle takes no second connection.
  EXPECT_EQ(zorvsock_tcp_get_status(l.h), ZORVSOCK_TCP_CLOSED);
  EXPECT_EQ(zorvsock_tcp_accept(l.h, f.h), -14);
  EXPECT_EQ(zorvsock_tcp_connect(f.h, "kvel0", 0, zt::PEER_IP, 7300), -106);
}

// A connect to a port nobody listens on: the handshake is under way (SYN_ST) until the
// peer's reset closes it; nothing else comes in between.
TEST_F(TcpApi, AConnectToAClosedPortOnlyEverShowsSynSentOrClosed) {
  handle_ptr c;
  ASSERT_EQ(zorvsock_tcp_connect(c.h, "kvel0", 0, zt::PEER_IP, 7199), 0);
  const std::vector<int> seen = states_until(c.h, ZORVSOCK_TCP_CLOSED);
  for (size_t i = 0; i + 1 < seen.size(); ++i) EXPECT_EQ(seen[i], ZORVSOCK_TCP_SYN_ST);
  EXPECT_TRUE(seen.back() == ZORVSOCK_TCP_SYN_ST || seen.back() == ZORVSOCK_TCP_CLOSED);
  // The handle has run its connection: a second connect is refused, not a second worker.
  EXPECT_EQ(zorvsock_tcp_connect(c.h, "kvel0", 0, zt::PEER_IP, 7199), -106);
}

TEST_F(TcpApi, ReleaseResetsTheConnectionInThePeer) {
  tcp_peer peer("serve 7102 --recv 100");
  {
    handle_ptr c;
    open_and_send(peer, c, 7202, 7102, 100);
    ASSERT_FALSE(HasFatalFailure());
    std::this_thread::sleep_for(200ms);
  }
  auto rep = peer.report();
  EXPECT_EQ(rep["received"], "100");
  EXPECT_EQ(rep["reset"], "1");
  const zt::cmd_result ss = zt::peer_run("ss -tnaH '( sport = :7102 )'");
  EXPECT_EQ(ss.status, 0);
  EXPECT_EQ(ss.out.find("7202"), std::string::npos) << ss.out;
}

TEST(TcpApiCalls, StateNames) {
  const struct {
    int state;
    const char* name;
  } table[] = {{0, "TCP_IDLE"},       {1, "TCP_CLOSED"},      {2, "TCP_LISTEN"},
               {3, "TCP_SYN_RCV"},    {4, "TCP_SYN_ST"},      {5, "TCP_ESTABLISHED"},
               {6, "TCP_CLOSE_WAIT"}, {7, "TCP_LAST_ACK"},    {8, "TCP_FIN_WAIT1"},
               {9, "TCP_FIN_WAIT2"},  {10, "TCP_CLOSING"},    {11, "TCP_TIME_WAIT"},
               {12, "TCP_UNKNOWN"},   {-1, "TCP_UNKNOWN"},    {1 << 30, "TCP_UNKNOWN"}};
  for (const auto& c : table) EXPECT_STREQ(zorvsock_tcp_state_str(c.state), c.name) << c.state;
}

TEST(TcpApiCalls, NullPointersAndUnconnectedHandlesGiveClearErrors) {
  handle_ptr h;
  const void* data;
  uint32_t ip;
  uint16_t port;
  EXPECT_EQ(zorvsock_tcp_connect(nullptr, "kvel0", 0, zt::PEER_IP, 1), -14);
  EXPECT_EQ(zorvsock_tcp_connect(h.h, nullptr, 0, zt::PEER_IP, 1), -22);
  EXPECT_EQ(zorvsock_tcp_connect(h.h, "nosuch0", 0, zt::PEER_IP, 1), -22);
  EXPECT_EQ(zorvsock_tcp_listen(nullptr, "kvel0", 1), -14);
  EXPECT_EQ(zorvsock_tcp_create_listener(nullptr, "kvel0", 1), -14);
  EXPECT_EQ(zorvsock_tcp_create_listener(h.h, "nosuch0", 1), -22);
  EXPECT_EQ(zorvsock_tcp_accept_ready(nullptr), -14);
  EXPECT_EQ(zorvsock_tcp_accept_ready(h.h), -22);
  EXPECT_EQ(zorvsock_tcp_accept(nullptr, h.h), -14);
  EXPECT_EQ(zorvsock_tcp_accept(h.h, nullptr), -14);
  EXPECT_EQ(zorvsock_tcp_accept(h.h, h.h), -22);
  EXPECT_EQ(zorvsock_tcp_get_status(nullptr), -14);
  EXPECT_EQ(zorvsock_tcp_get_status(h.h), ZORVSOCK_TCP_CLOSED);
  EXPECT_EQ(zorvsock_tcp_get_peer(nullptr, &ip, &port), -14);
  EXPECT_EQ(zorvsock_tcp_get_peer(h.h, nullptr, &port), -14);
  EXPECT_EQ(zorvsock_tcp_get_peer(h.h, &ip, &port), -107);
  EXPECT_EQ(zorvsock_tcp_disconnect(nullptr), -14);
  EXPECT_EQ(zorvsock_tcp_disconnect(h.h), 0);
  zorvsock_tcp_disable(nullptr);
  EXPECT_EQ(zorvsock_tcp_send(nullptr, "x", 1, nullptr), -14);
  EXPECT_EQ(zorvsock_tcp_send(h.h, nullptr, 1, nullptr), -14);
  EXPECT_EQ(zorvsock_tcp_send_ready(nullptr), 0);
  EXPECT_EQ(zorvsock_tcp_zc_receive(nullptr, &data, nullptr), -14);
  EXPECT_EQ(zorvsock_tcp_zc_receive(h.h, nullptr, nullptr), -14);
  EXPECT_EQ(zorvsock_tcp_zc_receive_done(nullptr), -14);
}

// The ways a handle holds no connection, each made on a port of its own.
struct no_connection {
  const char* name;
  void (*make)(zorvsock_handle* h, uint16_t port);
  bool engine_used;  // the handle has run a connection of its own
};

const no_connection NO_CONNECTION[] = {
    {"fresh", [](zorvsock_handle*, uint16_t) {}, false},
    {"UDP flow",
     [](zorvsock_handle* h, uint16_t port) {
       ASSERT_EQ(zorvsock_udp_configure(h, "kvel0", port, zt::PEER_IP, port), 0);
     },
     false},
    {"listener",
     [](zorvsock_handle* h, uint16_t port) {
       ASSERT_EQ(zorvsock_tcp_create_listener(h, "kvel0", port), 0);
     },
     false},
    {"one-connection listener",
     [](zorvsock_handle* h, uint16_t port) {
       ASSERT_EQ(zorvsock_tcp_listen(h, "kvel0", port), 0);
     },
     false},
    {"connection refused by the peer",
     [](zorvsock_handle* h, uint16_t port) {
       ASSERT_EQ(zorvsock_tcp_connect(h, "kvel0", port, zt::PEER_IP, 7199), 0);
       ASSERT_EQ(wait_state(h, ZORVSOCK_TCP_CLOSED), ZORVSOCK_TCP_CLOSED);
     },
     true},
};

// The data calls do not look at the kind: whatever the handle is, without a connection
// its engine is closed and answers so, and none of the calls touches a session that
// is not there (the release counter passes the doorbell's batch many times).
TEST_F(TcpApi, DataCallsWithoutAConnectionAnswerAsAClosedConnection) {
  uint16_t port = 7320;
  const std::vector<uint8_t> big(100000);
  for (const no_connection& c : NO_CONNECTION) {
    SCOPED_TRACE(c.name);
    handle_ptr h;
    c.make(h.h, port++);
    ASSERT_FALSE(HasFatalFailure());
    const int kind = h.h->kind;
    h.h->rx_adj_ns = 25;
    EXPECT_EQ(zorvsock_tcp_send(h.h, "x", 1, nullptr), -104);
    EXPECT_EQ(zorvsock_tcp_send(h.h, nullptr, 0, nullptr), -104);
    EXPECT_EQ(zorvsock_tcp_send(h.h, big.data(), int(big.size()), nullptr), -104)
        << "a long send reports that nothing was sent";
    EXPECT_EQ(zorvsock_tcp_send_ready(h.h), 0);
    const void* data = &c;
    uint64_t ts = 0;
    EXPECT_EQ(zorvsock_tcp_zc_receive(h.h, &data, &ts), -107);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(ts, uint64_t(-25)) << "0 less the RX adjustment";
    for (int i = 0; i < 50; ++i) ASSERT_EQ(zorvsock_tcp_zc_receive_done(h.h), 0) << i;
    EXPECT_EQ(h.h->kind, kind);
  }
}

// Listen does not look at the kind: every handle becomes a one-connection listener. One
// whose engine has not run takes its connection; one that has run a connection takes
// none (a second worker in one engine would end the process) and stays a listener.
TEST_F(TcpApi, ListenTurnsAnyHandleIntoAListener) {
  uint16_t port = 7330, syn_port = 7430;
  for (const no_connection& c : NO_CONNECTION) {
    SCOPED_TRACE(c.name);
    handle_ptr h;
    c.make(h.h, port++);
    ASSERT_FALSE(HasFatalFailure());
    const uint16_t lport = port++;
    ASSERT_EQ(zorvsock_tcp_listen(h.h, "kvel0", lport), 0);
    EXPECT_EQ(h.h->kind, HANDLE_TCP_LISTEN);
    EXPECT_EQ(zorvsock_tcp_get_status(h.h), ZORVSOCK_TCP_LISTEN);
    if (c.engine_used) {
      const std::string syn = " rawsyn 198.18.0.2 198.18.0.1 " + std::to_string(syn_port++) +
                              " " + std::to_string(lport);
      ASSERT_EQ(zt::peer_run(tcp_peer_tool() + syn).status, 0);
      std::this_thread::sleep_for(200ms);
      EXPECT_EQ(zorvsock_tcp_get_status(h.h), ZORVSOCK_TCP_LISTEN);
      EXPECT_EQ(h.h->kind, HANDLE_TCP_LISTEN);
      continue;
    }
    tcp_peer peer("connect 198.18.0.1 " + std::to_string(lport) + " --send 100 --peer-fin");
    EXPECT_EQ(states_until(h.h, ZORVSOCK_TCP_ESTABLISHED).back(), ZORVSOCK_TCP_ESTABLISHED);
    EXPECT_EQ(h.h->kind, HANDLE_TCP);
    const receive_result r = receive_pattern(h.h);
    EXPECT_EQ(r.bytes, 100u);
    EXPECT_EQ(r.first_bad, -1);
    EXPECT_EQ(zorvsock_tcp_disconnect(h.h), 0);
    EXPECT_EQ(peer.report()["bad"], "-1");
  }
}

// A passive open whose handshake never completes leaves the fresh handle fresh, with no
// worker or session left behind: the next accept into it takes a real connection.
TEST_F(TcpApi, AFailedAcceptLeavesTheFreshHandleUsable) {
  handle_ptr l, f;
  ASSERT_EQ(zorvsock_tcp_create_listener(l.h, "kvel0", 7304), 0);
  ASSERT_EQ(zt::peer_run(tcp_peer_tool() + " rawsyn 198.18.0.2 198.18.0.1 7400 7304").status, 0);
  const auto deadline = clk::now() + 5s;
  while (zorvsock_tcp_accept_ready(l.h) != 1 && clk::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(zorvsock_tcp_accept(l.h, f.h), -11);
  EXPECT_EQ(zorvsock_tcp_get_status(f.h), ZORVSOCK_TCP_CLOSED);
  tcp_peer peer("connect 198.18.0.1 7304 --send 100 --peer-fin");
  while (zorvsock_tcp_accept_ready(l.h) != 1 && clk::now() < deadline + 30s)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(zorvsock_tcp_accept(l.h, f.h), 0);
  EXPECT_EQ(receive_pattern(f.h).bytes, 100u);
  EXPECT_EQ(zorvsock_tcp_disconnect(f.h), 0);
  EXPECT_EQ(peer.report()["eof"], "1");
}

// A one-connection listener becomes the connection when an option call takes the SYN.
TEST_F(TcpApi, ListenHandleBecomesItsConnectionInAnOptionCall) {
  handle_ptr l;
  ASSERT_EQ(zorvsock_tcp_listen(l.h, "kvel0", 7303), 0);
  uint32_t state = 0;
  int len = 4;
  EXPECT_EQ(zorvsock_get_opt(l.h, ZORVSOCK_OPT_TCP_STATE, &state, &len), -22);  // none yet
  tcp_peer peer("connect 198.18.0.1 7303 --send 2000 --peer-fin");
  const auto deadline = clk::now() + 30s;  // the peer is a python3
  while (zorvsock_get_opt(l.h, ZORVSOCK_OPT_TCP_STATE, &state, &len) != 0 && clk::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(state, uint32_t(ZORVSOCK_TCP_ESTABLISHED));
  uint32_t ip = 0;
  EXPECT_EQ(zorvsock_get_opt(l.h, ZORVSOCK_OPT_TCP_REMOTE_IP, &ip, &len), 0);
  EXPECT_EQ(ip, zt::PEER_IP);
  const receive_result r = receive_pattern(l.h);
  EXPECT_EQ(r.bytes, 2000u);
  EXPECT_EQ(r.first_bad, -1);
  EXPECT_EQ(zorvsock_tcp_disconnect(l.h), 0);
  EXPECT_EQ(peer.report()["eof"], "1");
}

TEST_F(TcpApi, ConnectOnAUdpHandleOrAListenerIsRefused) {
  handle_ptr u, l;
  ASSERT_EQ(zorvsock_udp_configure(u.h, "kvel0", 4300, zt::PEER_IP, 4301), 0);
  EXPECT_EQ(zorvsock_tcp_connect(u.h, "kvel0", 0, zt::PEER_IP, 7100), -106);
  ASSERT_EQ(zorvsock_tcp_listen(l.h, "kvel0", 7301), 0);
  EXPECT_EQ(zorvsock_tcp_get_status(l.h), ZORVSOCK_TCP_LISTEN);
  EXPECT_EQ(zorvsock_tcp_create_listener(l.h, "kvel0", 7302), -14);
  EXPECT_EQ(zorvsock_tcp_connect(l.h, "kvel0", 0, zt::PEER_IP, 7100), -106);
}

}  // namespace
