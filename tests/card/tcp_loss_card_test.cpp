// Loss between the card and the Linux kernel. Heavy loss: an echo of 16 MiB through a
// wire that loses 2 or 5 % of the peer's frames, or of the frames both ways. The
// application sends in long sends and takes the echo between them, so the peer's data
// keeps arriving while nothing but the library can acknowledge it; the peer, an echo
// server, reads our data only as fast as its echo is acknowledged. Every byte must
// arrive both ways (checked against the stream at each end), with no send timing out
// and no reset from either side. And the loss of the one ACK that opens a shut window,
// which only the card's probe of the window makes good.
//
// Cases stream 16 MiB at 2 % and 4 MiB at 5 %: at 5 % a peer without SACK repairs many
// holes on its retransmission timer, and 16 MiB takes minutes. The peer runs cubic
// (tests/support/lossy_wire_cc.h): with bbr, a host default, a case stalls now
// and then for as long as the peer's timer has backed off (a minute and more, seen up to
// 104 s), each stall one resend of our next expected segment that the wire lost.
// The test command runs every case; scripts/soak_loss runs them with ZT_LOSS_MIB
// mebibytes each way within ZT_LOSS_LIMIT_S seconds a case (default 150), and with
// ZT_LOSS_CC as the peer's congestion control when set.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tcp/tcp_pkt_if.h"
#include "tcp_api_fixture.h"
#include "tcp_echo_client.h"
#include "tcp_stream.h"
#include "tcp_stream_fixture.h"
#include "tcp_wire_fixture.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

constexpr uint64_t MIB = 1 << 20;
constexpr size_t LONG_SEND = 4 * MIB;
constexpr uint64_t SEED = 2;  // the stream the peer expects (its --recv-seed default)

uint64_t setting(const char* name, uint64_t fallback) {
  const char* v = getenv(name);
  return v && *v ? strtoull(v, nullptr, 10) : fallback;
}

// Mebibytes each way of a case: ZT_LOSS_MIB for every case when set.
uint64_t stream_bytes(uint64_t mib) { return setting("ZT_LOSS_MIB", mib) * MIB; }
// A case that has not ended by then has stalled; the peer gives up a little later, and
// its close ends a send that would otherwise wait for as long as the connection lives.
const std::chrono::seconds CASE_LIMIT(setting("ZT_LOSS_LIMIT_S", 150));
const int64_t PEER_LIMIT_S = CASE_LIMIT.count() + 10;

struct loss_case {
  const char* name;
  uint16_t port;
  const char* loss;  // percent of the frames lost
  bool both_ways;    // else only the peer's frames
  uint64_t mib;      // each way, in the test command
};

class TcpHeavyLoss : public zt::tcp_api_test, public ::testing::WithParamInterface<loss_case> {};

// What the card and the peer's kernel did about the loss, for a failure's message.
std::string repair_report() {
  std::string out;
  for (const char* name : {"impair_dropped", "tcp_tx_retransmits", "tcp_tx_fast_retransmits",
                           "tcp_tx_window_probes", "tcp_tx_doorbell_acks", "tcp_rx_software",
                           "tcp_rx_drop_ring_full"})
    out += std::string(name) + " " + std::to_string(zt::sim_counter(name)) + "\n";
  return out + "peer: " + zt::peer_run("ss -tinH").out;
}

TEST_P(TcpHeavyLoss, EchoArrivesWholeBothWaysWithoutTimeoutOrReset) {
  const loss_case& c = GetParam();
  const uint64_t BYTES = stream_bytes(c.mib);
  const long resets = zt::sim_counter("tcp_reset_requests");
  const long dropped = zt::sim_counter("impair_dropped");
  std::string no_cc;
  const std::string cc = zt::lossy_wire_cc_args(&no_cc);
  if (cc.empty()) GTEST_SKIP() << no_cc;
  zt::stream_peer peer("listen " + std::to_string(c.port) + " --echo --timeout " +
                       std::to_string(PEER_LIMIT_S) + cc);
  zt::handle_ptr h;
  zt::connect_to(h.h, peer, c.port);
  ASSERT_FALSE(HasFatalFailure());
  const std::vector<std::string> ways =
      c.both_ways ? std::vector<std::string>{"tx", "rx"} : std::vector<std::string>{"rx"};
  auto impair = std::make_unique<zt::sim_impairment>(
      std::string("loss=") + c.loss + " seed=" + std::to_string(c.port), ways);
  ASSERT_TRUE(impair->ok);
  const zt::echo_outcome r = zt::card_echo(h.h, BYTES, LONG_SEND, SEED, CASE_LIMIT);
  printf("%s: %.1f s, %.2f MiB/s each way\n", c.name, r.seconds, double(BYTES) / MIB / r.seconds);
  // A transfer that failed ends here: the handle's release resets the connection, which
  // ends the peer at once.
  const std::string why = "sent " + std::to_string(r.sent) + ", echoed " +
                          std::to_string(r.echoed.bytes()) + "\n" + repair_report();
  ASSERT_EQ(r.send_rc, 0) << why;
  ASSERT_EQ(r.receive_rc, 0) << why;
  ASSERT_FALSE(r.timed_out) << why;
  EXPECT_EQ(r.echoed.bytes(), BYTES);
  EXPECT_EQ(r.echoed.first_bad(), -1);
  EXPECT_EQ(zorvsock_tcp_get_status(h.h), ZORVSOCK_TCP_ESTABLISHED);
  EXPECT_GT(zt::sim_counter("impair_dropped"), dropped);
  impair.reset();
  zt::close_ours(h.h);
  auto rep = peer.report();
  EXPECT_EQ(zt::as_u64(rep["received"]), BYTES);
  EXPECT_EQ(rep["bad"], "-1");
  EXPECT_EQ(zt::as_u64(rep["hash"]), r.echoed.hash());
  EXPECT_EQ(zt::as_u64(rep["sent"]), BYTES);
  EXPECT_EQ(rep["eof"], "1");
  EXPECT_EQ(rep["reset"], "0");
  EXPECT_EQ(rep["timeout"], "0");
  EXPECT_EQ(zt::sim_counter("tcp_reset_requests"), resets);
}

INSTANTIATE_TEST_SUITE_P(Wire, TcpHeavyLoss,
                         ::testing::Values(loss_case{"peer_2pct", 7600, "2", false, 16},
                                           loss_case{"peer_5pct", 7601, "5", false, 4},
                                           loss_case{"both_ways_2pct", 7602, "2", true, 16},
                                           loss_case{"both_ways_5pct", 7603, "5", true, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A shut window whose opening is lost ---------------------------------------------

class TcpShutWindow : public zt::tcp_peer_test {};

// Our stream in single segments, the next piece taken from it once one has gone.
struct segment_sender {
  zt::stream_source src{SEED};
  uint8_t piece[1460];
  segment_sender() { src.fill(piece, sizeof piece); }

  // Sends until `most` bytes have gone or stop() holds (asked while a send meets -11);
  // the bytes sent.
  template <typename Stop>
  uint64_t send_until(zorvsock_handle* h, uint64_t most, Stop stop) {
    uint64_t sent = 0;
    while (sent < most) {
      const int rc = zorvsock_tcp_send(h, piece, sizeof piece, nullptr);
      if (rc == 0) {
        sent += sizeof piece;
        src.fill(piece, sizeof piece);
      } else if (rc != -11 || stop()) {
        break;
      }
    }
    return sent;
  }
};

// Reads what the peer's socket holds into check, until it has `want` bytes or nothing
// comes for the socket's receive timeout.
void peer_read(int fd, zt::stream_check& check, uint64_t want) {
  uint8_t buf[65536];
  while (check.bytes() < want) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    check.take(buf, size_t(n));
  }
}

// The peer stops reading until its window has shut and everything we sent is
// acknowledged: the card has nothing to resend. The peer then reads all, but the ACK
// that opens its window again is lost on the wire, and the peer's kernel never repeats
// it. Only the card's probe of the shut window makes the peer show its window again:
// the data held back goes through.
TEST_F(TcpShutWindow, ALostWindowOpeningIsMadeGoodByTheCardsProbe) {
  constexpr uint16_t PORT = 7610;
  constexpr uint64_t MORE = 180 * 1460;  // sent once the window opens
  const int lfd = keep(zt::peer_tcp_listener(PORT));
  ASSERT_GE(lfd, 0);
  const int small = 4096;  // a window that shuts after a few segments
  ASSERT_EQ(setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  zt::handle_ptr c;
  ASSERT_EQ(zorvsock_tcp_connect(c.h, "kvel0", 0, zt::PEER_IP, PORT), 0);
  ASSERT_EQ(zt::wait_state(c.h, ZORVSOCK_TCP_ESTABLISHED), ZORVSOCK_TCP_ESTABLISHED);
  const int conn = keep(accept(lfd, nullptr, nullptr));
  ASSERT_GE(conn, 0) << strerror(errno);
  zt::set_receive_timeout(conn, 30);
  const volatile vyxtcp::txack* block = c.h->tcp.hw->txack_;
  ASSERT_NE(block, nullptr);
  segment_sender ours;
  const auto shut = [&] {
    const vyxtcp::tcp_seq sent = c.h->tcp.tx_seq;
    return block->win == 0 && block->ack == sent.v;
  };
  const uint64_t before = ours.send_until(c.h, MORE, [&] { return zt::wait_until(shut, 5000); });
  ASSERT_TRUE(shut()) << "window " << block->win;
  const long probes = zt::sim_counter("tcp_tx_window_probes");
  zt::stream_check check(SEED);
  {
    const long dropped = zt::sim_counter("impair_dropped");
    zt::sim_impairment lost("loss=100", {"rx"});
    ASSERT_TRUE(lost.ok);
    peer_read(conn, check, before);
    ASSERT_EQ(check.bytes(), before);
    ASSERT_TRUE(zt::wait_until([&] { return zt::sim_counter("impair_dropped") > dropped; }));
    EXPECT_EQ(block->win, 0) << "the window's opening came through";
  }
  std::thread reader([&] { peer_read(conn, check, before + MORE); });
  const auto t0 = std::chrono::steady_clock::now();
  const uint64_t more = ours.send_until(c.h, MORE, [&] {
    return std::chrono::steady_clock::now() - t0 > std::chrono::seconds(30);
  });
  reader.join();
  EXPECT_EQ(more, MORE);
  EXPECT_EQ(check.bytes(), before + MORE);
  EXPECT_EQ(check.first_bad(), -1);
  EXPECT_GT(zt::sim_counter("tcp_tx_window_probes"), probes);
}

}  // namespace
