// Streams of data over the card against the Linux kernel in the peer namespace, both
// ways at once on one connection: hundreds of mebibytes with and without loss,
// reordering and duplication on the wire, a peer that closes right after its data, a
// peer with a small MSS, a peer without window scaling, and sequence numbers wrapping
// both ways. Every byte is checked against the stream of its seed (tcp_stream.h) on the
// side that receives it; the peer is tcp_stream_peer.
//
// One application thread drives both directions, interleaving single-segment sends
// with receives; a stall shows as the test's own deadline running out.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "session_ref.h"
#include "tcp/tcp_ring_walk.h"
#include "tcp_api_fixture.h"
#include "tcp_stream.h"
#include "tcp_stream_fixture.h"
#include "tcp_wire_fixture.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

using namespace std::chrono_literals;
using clk = std::chrono::steady_clock;
using zt::as_u64;
using zt::close_ours;
using zt::connect_to;
using zt::sim_counter;
using zt::sim_impairment;
using zt::stream_peer;

constexpr uint64_t MIB = 1 << 20;
constexpr uint64_t OUR_SEED = 2;   // the stream we send (the peer's --recv-seed default)
constexpr uint64_t PEER_SEED = 1;  // the stream the peer sends (its --seed default)
// A stream is stalled once no byte has moved either way for this long. Slowness is no
// fault: the sequence numbers' wrap moves 3 GiB our way, which takes minutes in the
// sanitizer build on a busy machine.
constexpr auto STALL_LIMIT = 60s;
// The peer's own limit on the connection for such long streams (tcp_stream_peer
// --timeout): far beyond any pace the stall limit lets through, so that the peer never
// closes a connection that is merely slow.
constexpr const char* LONG_PEER_TIMEOUT = " --timeout 480";

// What one connection carried, seen from the application.
struct stream_result {
  uint64_t sent = 0;
  zt::stream_hash sent_hash;
  zt::stream_check received{PEER_SEED};
  int end = 0;  // the receive's result that ended the peer's stream (0: not seen)
  int send_error = 0;  // a send's result that ended our stream (0: none)
  bool stalled = false;
};

// Where a stalled connection stands: the engine's sequence numbers, the segments
// waiting in its receive ring from its read pointer to the card's write position
// (the card's write pointer register), how many of them hold rx_seq, and the peer's view.
std::string stall_report(zorvsock_handle* h) {
  const auto& t = h->tcp;
  std::string out =
      "state " + std::string(zorvsock_tcp_state_str(zorvsock_tcp_get_status(h))) + " tx_seq " + std::to_string(t.tx_seq.load().v) + " bk_tx_ack " + std::to_string(t.bk_tx_ack.load().v) +
      " rx_seq " + std::to_string(t.rx_seq.load().v) + " bk_rx_ack " + std::to_string(t.bk_rx_ack.load().v) +
      " rx_rdptr " + std::to_string(t.rx_rdptr) + " card wrptr " +
      std::to_string(kvel::mmio_read64(h->tcp_hw.reg_, kvel::SESSION_REG_RX_WRPTR)) + "\nring:";
  int slots = 0, holding = 0;
  vyxtcp::tcp_walk_ring(h->tcp, [&](vyxtcp::tcp_ring_slot& rs) {
    if (slots++ < 8)
      out += " [" + std::to_string(rs.seg.seq.v) + "+" + std::to_string(rs.seg.payload_len) +
             " flags " + std::to_string(rs.seg.flags) + "]";
    if (rs.ok && vyxtcp::tcp_seq::in_window(t.rx_seq, rs.seg.seq, rs.seg.payload_len)) ++holding;
    return true;
  });
  return out + "\nslots " + std::to_string(slots) + ", holding rx_seq " + std::to_string(holding) +
         "\nsim: retransmits " + std::to_string(sim_counter("tcp_tx_retransmits")) +
         " impair_dropped " + std::to_string(sim_counter("impair_dropped")) +
         " rx_drop_ring_full " + std::to_string(sim_counter("tcp_rx_drop_ring_full")) +
         "\npeer: " + zt::peer_run("ss -tinH").out;
}

// Our stream sent and the peer's received on one connection, on this thread, both at
// once; run again, it goes on where it stopped.
struct stream_run {
  explicit stream_run(zorvsock_handle* handle) : h(handle) {}
  zorvsock_handle* h;
  stream_result r;
  zt::stream_source src{OUR_SEED};
  std::vector<uint8_t> buf = std::vector<uint8_t>(4 * MIB);
  size_t pos = buf.size();

  // Until `out` bytes of ours have been sent and `in` bytes or the end of the peer's
  // have come; gives up once the stream stalls (STALL_LIMIT) or our sending side ends.
  void run(uint64_t out, uint64_t in) {
    uint64_t moved = 0;
    auto last_progress = clk::now();
    while ((r.sent < out && r.send_error == 0) || (r.received.bytes() < in && r.end == 0)) {
      const auto now = clk::now();
      if (r.sent + r.received.bytes() != moved) {
        moved = r.sent + r.received.bytes();
        last_progress = now;
      } else if (now - last_progress > STALL_LIMIT) {
        r.stalled = true;
        ADD_FAILURE() << "stalled: " << stall_report(h);
        return;
      }
      send_burst(out);
      receive_burst();
    }
  }
  // Sends while the window allows, up to `out` bytes in all.
  void send_burst(uint64_t out) {
    for (int i = 0; i < 64 && r.sent < out; ++i) {
      if (pos == buf.size()) {
        src.fill(buf.data(), buf.size());
        pos = 0;
      }
      const int piece = int(std::min<uint64_t>(
          {uint64_t(std::min(1460, h->tcp.tx_mss.load())), buf.size() - pos, out - r.sent}));
      const int rc = zorvsock_tcp_send(h, buf.data() + pos, piece, nullptr);
      if (rc != 0 && rc != -EAGAIN) {
        r.send_error = rc;
        ADD_FAILURE() << "send: " << rc << ": " << stall_report(h);
      }
      if (rc != 0) return;
      r.sent_hash.update(buf.data() + pos, size_t(piece));
      pos += size_t(piece);
      r.sent += uint64_t(piece);
    }
  }
  // Takes what has arrived.
  void receive_burst() {
    for (int i = 0; i < 64 && r.end == 0; ++i) {
      const void* data = nullptr;
      const int len = zorvsock_tcp_zc_receive(h, &data, nullptr);
      if (len < 0) r.end = len;
      if (len <= 0) return;
      r.received.take(static_cast<const uint8_t*>(data), size_t(len));
      zorvsock_tcp_zc_receive_done(h);
    }
  }
};

// Sends `out` bytes of our stream and receives the peer's until `in` bytes or its end
// have come (stream_run).
stream_result run_streams(zorvsock_handle* h, uint64_t out, uint64_t in) {
  stream_run s(h);
  s.run(out, in);
  return s.r;
}

// Our stream as the peer reports it: every byte, in order, nothing more.
void expect_peer_got(std::map<std::string, std::string>& rep, const stream_result& r) {
  EXPECT_EQ(as_u64(rep["received"]), r.sent);
  EXPECT_EQ(rep["bad"], "-1");
  EXPECT_EQ(as_u64(rep["hash"]), r.sent_hash.value());
  EXPECT_EQ(rep["eof"], "1");
  EXPECT_EQ(rep["timeout"], "0");
}

// The peer's stream as we received it.
void expect_we_got(const stream_result& r, uint64_t n) {
  EXPECT_FALSE(r.stalled) << "sent " << r.sent << ", received " << r.received.bytes();
  EXPECT_EQ(r.received.bytes(), n);
  EXPECT_EQ(r.received.first_bad(), -1);
}

// A connection the peer opens to our listener on port.
void accept_from(zorvsock_handle* listener, zorvsock_handle* h) {
  ASSERT_TRUE(zt::wait_until([&] { return zorvsock_tcp_accept_ready(listener) == 1; }, 5000));
  ASSERT_EQ(zorvsock_tcp_accept(listener, h), 0);
}

class TcpStream : public zt::tcp_api_test {};

// ---- Bulk both ways, with and without a lossy wire ------------------------------------

// Loss toward the peer: its firewall drops a share of the card's frames (all of them
// at 100 %) as they come off the wire. (A drop on the way out would not do for the peer's own frames: its
// kernel learns of it and sends again at once, no retransmission needed.)
struct peer_random_loss {
  std::string table = "zt_loss";
  bool ok = false;
  explicit peer_random_loss(int percent) {
    ok =
        zt::peer_run(
            "nft add table netdev " + table + " && nft add chain netdev " + table +
            " in '{ type filter hook ingress device wire0 priority 0 ; }' && nft add rule netdev " +
            table + " in meta l4proto tcp " +
            (percent < 100 ? "numgen random mod 100 lt " + std::to_string(percent) : "") +
            " drop")
            .status == 0;
  }
  ~peer_random_loss() { zt::peer_run("nft delete table netdev " + table); }
};

struct bulk_case {
  const char* name;
  uint16_t port;
  int peer_drops;      // percent of the card's frames the peer's firewall drops
  const char* impair;  // the simulator's impairment, both ways (null: none)
  uint64_t bytes = 256 * MIB;  // each way
};

class TcpBulk : public TcpStream, public ::testing::WithParamInterface<bulk_case> {};

TEST_P(TcpBulk, CarriesItsBytesEachWayIntact) {
  const bulk_case& c = GetParam();
  const uint64_t n = c.bytes;
  std::unique_ptr<peer_random_loss> loss;
  std::unique_ptr<sim_impairment> impair;
  const bool sim_loses = c.impair && strstr(c.impair, "loss=") != nullptr;
  const long card_resent = sim_counter("tcp_tx_retransmits");
  ASSERT_GE(card_resent, 0) << "the simulator reports no retransmission counter";
  if (c.peer_drops) {
    loss = std::make_unique<peer_random_loss>(c.peer_drops);
    ASSERT_TRUE(loss->ok);
  }
  if (c.impair) {
    impair = std::make_unique<sim_impairment>(c.impair);
    ASSERT_TRUE(impair->ok) << "the simulator refused: impair " << c.impair;
  }
  stream_peer peer("listen " + std::to_string(c.port) + " --send " + std::to_string(n));
  zt::handle_ptr h;
  connect_to(h.h, peer, c.port);
  ASSERT_FALSE(HasFatalFailure());
  const auto t0 = clk::now();
  const stream_result r = run_streams(h.h, n, n);
  const double s = std::chrono::duration<double>(clk::now() - t0).count();
  printf("%s: %.1f MiB/s each way\n", c.name, double(n) / MIB / s);
  expect_we_got(r, n);
  close_ours(h.h);
  auto rep = peer.report();
  expect_peer_got(rep, r);
  // What the wire lost was made good by the end that sent it: the peer's kernel, the card.
  if (sim_loses) {
    EXPECT_GT(as_u64(rep["retrans"]), 0u) << peer.job.result.out;
  }
  if (c.peer_drops || sim_loses) {
    EXPECT_GT(sim_counter("tcp_tx_retransmits"), card_resent);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Wire, TcpBulk,
    ::testing::Values(bulk_case{"clean", 7500, 0, nullptr},
                      bulk_case{"peer_drops_1pct_of_ours", 7501, 1, nullptr},
                      bulk_case{"sim_dup_reorder_1pct_both_ways", 7504, 0, "dup=1 reorder=1"},
                      bulk_case{"sim_loses_0_1pct_both_ways", 7505, 0, "loss=0.1"},
                      bulk_case{"sim_loses_0_1pct_dup_reorder_1pct", 7506, 0,
                                "loss=0.1 dup=1 reorder=1"},
                      // With 1 % of the peer's frames lost as well, the peer repairs its
                      // stream mostly on its retransmission timer, whose estimate grows
                      // with every hole (our SYN offers neither SACK nor timestamps; two
                      // Linux kernels without them fare alike): a smaller stream, intact
                      // all the same.
                      bulk_case{"sim_loses_1pct_both_ways", 7502, 0, "loss=1", 4 * MIB},
                      bulk_case{"sim_loss_dup_reorder_1pct", 7503, 0, "loss=1 dup=1 reorder=1",
                                4 * MIB}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- A long send while the peer's frames are lost -------------------------------------

// The application sits in one long send while the peer streams to it over a wire that
// loses 2 % of the peer's frames, and receives only once its send has returned. Until
// then the worker alone answers the peer: its retransmissions of what the ring holds,
// the segments beyond each hole. Unanswered, the peer's timer would double until it
// gave up. The send ends with 0, and every byte arrives both ways.
TEST_F(TcpStream, LongSendWhileThePeersFramesAreLostEndsAndEveryByteArrives) {
  constexpr uint16_t PORT = 7550;
  const uint64_t n = 16 * MIB;
  std::string why;
  const std::string cc = zt::lossy_wire_cc_args(&why);
  if (cc.empty()) GTEST_SKIP() << why;
  ASSERT_EQ(zt::sim_ctl("impair 0 rx loss=2").out.find("ok"), 0u);
  struct wire_restored {
    ~wire_restored() { zt::sim_ctl("impair 0 rx off"); }
  } restore;
  stream_peer peer("listen " + std::to_string(PORT) + " --send " + std::to_string(n) + cc);
  zt::handle_ptr h;
  connect_to(h.h, peer, PORT);
  ASSERT_FALSE(HasFatalFailure());
  std::vector<uint8_t> ours(n);
  zt::stream_source(OUR_SEED).fill(ours.data(), ours.size());
  const auto t0 = clk::now();
  EXPECT_EQ(zorvsock_tcp_send(h.h, ours.data(), int(n), nullptr), 0);
  printf("long send of %llu MiB: %.1f s\n", (unsigned long long)(n / MIB),
         std::chrono::duration<double>(clk::now() - t0).count());
  stream_result r = run_streams(h.h, 0, n);
  r.sent = n;
  r.sent_hash.update(ours.data(), ours.size());
  expect_we_got(r, n);
  close_ours(h.h);
  auto rep = peer.report();
  expect_peer_got(rep, r);
  EXPECT_GT(as_u64(rep["retrans"]), 0u) << "the wire lost none of the peer's frames";
}

// ---- Our last segments lost on the wire ---------------------------------------------------

// The peer's firewall drops every frame of ours from the moment our stream is within
// TAIL bytes of its end until the card has resent into the loss. Nothing follows the
// lost segments to draw duplicate ACKs, so only the card's retransmission timer makes
// them good (the peer's stream, whose ACKs are lost meanwhile, the peer's own timer).
// Both streams end whole, and the connection closes in order.
TEST_F(TcpStream, OurLastSegmentsLostOnTheWireAreResentAndBothStreamsEndWhole) {
  constexpr uint16_t PORT = 7560;
  const uint64_t n = 16 * MIB;
  constexpr uint32_t TAIL = 64 * 1024;
  stream_peer peer("listen " + std::to_string(PORT) + " --send " + std::to_string(n));
  zt::handle_ptr h;
  connect_to(h.h, peer, PORT);
  ASSERT_FALSE(HasFatalFailure());
  stream_run s(h.h);
  s.run(n - TAIL, n);
  ASSERT_FALSE(HasFatalFailure());
  bool resent_into_loss = false;
  {
    const long before = sim_counter("tcp_tx_retransmits");
    peer_random_loss all_ours(100);
    ASSERT_TRUE(all_ours.ok);
    s.run(n, n);
    resent_into_loss = zt::wait_until(
        [&] { return sim_counter("tcp_tx_retransmits") > before; }, 30000);
  }
  // The peer has all once the card's resends have gone through.
  EXPECT_TRUE(zt::wait_until(
      [&] { return h.h->tcp.bk_tx_ack.load() == h.h->tcp.tx_seq.load(); }, 60000))
      << stall_report(h.h);
  const stream_result& r = s.r;
  EXPECT_TRUE(resent_into_loss) << "the card did not resend while the wire lost our tail";
  expect_we_got(r, n);
  close_ours(h.h);
  auto rep = peer.report();
  expect_peer_got(rep, r);
}

// ---- A peer that closes right after its data ------------------------------------------

struct close_case {
  const char* name;
  uint16_t port;
  uint64_t bytes;
  const char* peer_args;
  bool fin_on_data;  // the peer's FIN rides on its last data segment
  bool fin_before_first_receive;
};

class TcpPeerClose : public TcpStream, public ::testing::WithParamInterface<close_case> {};

bool is_fin(const zt::wire_segment& s) { return s.seg.has(vyxtcp::TCP_FIN); }

TEST_P(TcpPeerClose, EveryByteComesBeforeTheEndAndBothSidesCloseCleanly) {
  const close_case& c = GetParam();
  zt::wire_recorder wire(c.port);
  stream_peer peer("listen " + std::to_string(c.port) + " --send " + std::to_string(c.bytes) +
                   " --close " + c.peer_args);
  zt::handle_ptr h;
  connect_to(h.h, peer, c.port);
  ASSERT_FALSE(HasFatalFailure());
  // The FIN in the ring, and met by the worker, before the first receive.
  if (c.fin_before_first_receive) {
    ASSERT_TRUE(zt::wait_until([&] { return h.h->tcp.peer_fin_pending != 0; }, 10000));
  }
  const stream_result r = run_streams(h.h, 0, c.bytes + 1);
  expect_we_got(r, c.bytes);
  EXPECT_EQ(r.end, -107);
  // Half closed by the peer until our FIN, whose ACK closes the connection.
  EXPECT_EQ(zorvsock_tcp_get_status(h.h), ZORVSOCK_TCP_CLOSE_WAIT);
  EXPECT_EQ(zorvsock_tcp_disconnect(h.h), 0);
  EXPECT_EQ(zt::wait_state(h.h, ZORVSOCK_TCP_CLOSED), ZORVSOCK_TCP_CLOSED);
  auto rep = peer.report();
  EXPECT_EQ(as_u64(rep["sent"]), c.bytes);
  EXPECT_EQ(rep["received"], "0");
  EXPECT_EQ(rep["eof"], "1");
  EXPECT_EQ(rep["reset"], "0");
  // The peer closed first: at most its TIME_WAIT is left.
  std::this_thread::sleep_for(200ms);
  for (const std::string& st : zt::peer_socket_states(c.port, h.h->tcp_hw.local_port_))
    EXPECT_EQ(st, "TIME-WAIT");
  wire.stop();
  // Only the short stream is sure to have every frame recorded; the early FIN has shown
  // itself in the engine above.
  if (!c.fin_on_data) return;
  const auto fins = wire.matching(
      [&](const zt::wire_segment& s) { return s.seg.src_port == c.port && is_fin(s); });
  ASSERT_FALSE(fins.empty());
  EXPECT_GT(fins.front().payload_len(), 0u) << "the FIN came on its own";
}

// The FIN on data needs a stream short enough for the wire recorder to see every
// frame; the early FIN one long enough to be behind a good deal of data.
INSTANTIATE_TEST_SUITE_P(
    Peer, TcpPeerClose,
    ::testing::Values(close_case{"fin_on_last_data_segment", 7510, 50000, "--cork", true, false},
                      close_case{"fin_before_first_receive", 7511, MIB + 123, "", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Peers with other options -----------------------------------------------------------

TEST_F(TcpStream, APeerWithMss1400GetsNoLargerSegmentsAndDataIsIntactBothWays) {
  constexpr uint16_t PORT = 7520;
  const uint64_t n = 16 * MIB;
  zt::handle_ptr l, h;
  ASSERT_EQ(zorvsock_tcp_create_listener(l.h, "kvel0", PORT), 0);
  zt::wire_recorder wire(PORT);
  stream_peer peer("connect 198.18.0.1 " + std::to_string(PORT) + " --mss 1400 --send " +
                   std::to_string(n));
  accept_from(l.h, h.h);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(h.h->tcp.tx_mss, 1400);
  const stream_result r = run_streams(h.h, n, n);
  expect_we_got(r, n);
  close_ours(h.h);
  auto rep = peer.report();
  expect_peer_got(rep, r);
  wire.stop();
  uint32_t largest = 0;
  size_t data_segments = 0;
  for (const zt::wire_segment& s : wire.segments()) {
    if (s.seg.dst_port != PORT || s.payload_len() == 0) continue;
    largest = std::max(largest, s.payload_len());
    ++data_segments;
  }
  EXPECT_GT(data_segments, 0u);
  EXPECT_EQ(largest, 1400u);
}

struct wscale_case {
  const char* name;
  uint16_t port;
  bool we_open;
};

class TcpNoWindowScale : public TcpStream, public ::testing::WithParamInterface<wscale_case> {
 protected:
  void SetUp() override {
    TcpStream::SetUp();
    ASSERT_EQ(zt::peer_run("sysctl -qw net.ipv4.tcp_window_scaling=0").status, 0);
  }
  void TearDown() override { zt::peer_run("sysctl -qw net.ipv4.tcp_window_scaling=1"); }
};

bool has_syn(const zt::wire_segment& s) { return s.seg.has(vyxtcp::TCP_SYN); }

TEST_P(TcpNoWindowScale, HandshakeLeavesTheOptionOutAndBulkDataIsIntact) {
  const wscale_case& c = GetParam();
  // The peer namespace has its own copy of the setting: ours keeps scaling.
  EXPECT_EQ(zt::run("sysctl -n net.ipv4.tcp_window_scaling").out, "1\n");
  const uint64_t n = 64 * MIB;
  zt::handle_ptr l, h;
  zt::wire_recorder wire(c.port);
  std::unique_ptr<stream_peer> peer;
  if (c.we_open) {
    peer = std::make_unique<stream_peer>("listen " + std::to_string(c.port) + " --send " +
                                         std::to_string(n));
    connect_to(h.h, *peer, c.port);
  } else {
    ASSERT_EQ(zorvsock_tcp_create_listener(l.h, "kvel0", c.port), 0);
    peer = std::make_unique<stream_peer>("connect 198.18.0.1 " + std::to_string(c.port) +
                                         " --send " + std::to_string(n));
    accept_from(l.h, h.h);
  }
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(h.h->tcp.own_wscale, 0u);
  EXPECT_EQ(h.h->tcp.peer_wscale, 0u);
  const stream_result r = run_streams(h.h, n, n);
  expect_we_got(r, n);
  close_ours(h.h);
  auto rep = peer->report();
  expect_peer_got(rep, r);
  EXPECT_EQ(rep["wscale"], "0");
  wire.stop();
  const auto syns = wire.matching(has_syn);
  ASSERT_GE(syns.size(), 2u);
  for (const zt::wire_segment& s : syns) {
    const bool ours = s.seg.dst_port == c.port;
    // Our SYN offers scaling (we cannot know the peer's mind yet); nothing else does.
    const bool offered = ours && c.we_open;
    EXPECT_EQ(bool(s.seg.opt.has_wscale), offered) << (ours ? "ours" : "the peer's");
  }
}

INSTANTIATE_TEST_SUITE_P(Peer, TcpNoWindowScale,
                         ::testing::Values(wscale_case{"we_connect", 7530, true},
                                           wscale_case{"peer_connects", 7531, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Sequence numbers wrapping both ways ------------------------------------------------

// Our initial sequence number is the clock's and the 4-tuple's (a fresh local port
// each time), the peer's its kernel's: connections are opened until one has our wrap
// within OUR_WRAP_WITHIN bytes of our stream (one in two does) and the peer's within
// PEER_WRAP_WITHIN bytes of its stream (one in 16 does).
TEST_F(TcpStream, SequenceNumbersWrapInBothDirectionsOnOneConnection) {
  constexpr uint16_t PORT = 7540;
  constexpr uint64_t OUR_WRAP_WITHIN = 2048 * MIB;
  constexpr uint64_t PEER_WRAP_WITHIN = 256 * MIB;
  constexpr uint64_t PAST_WRAP = 8 * MIB;
  const uint64_t theirs = PEER_WRAP_WITHIN + PAST_WRAP;
  stream_peer peer("listen " + std::to_string(PORT) + " --repeat --send " + std::to_string(theirs) +
                   LONG_PEER_TIMEOUT);
  ASSERT_TRUE(peer.wait_ready());
  std::unique_ptr<zt::handle_ptr> h;
  uint32_t our_first = 0, peer_first = 0;
  for (int attempt = 0; attempt < 1000 && !h; ++attempt) {
    auto c = std::make_unique<zt::handle_ptr>();
    ASSERT_EQ(zorvsock_tcp_connect(c->h, "kvel0", 0, zt::PEER_IP, PORT), 0);
    ASSERT_EQ(zt::wait_state(c->h, ZORVSOCK_TCP_ESTABLISHED), ZORVSOCK_TCP_ESTABLISHED);
    our_first = c->h->tcp.tx_seq.load().v;
    peer_first = c->h->tcp.rx_seq.load().v;
    if (uint32_t(0 - our_first) < OUR_WRAP_WITHIN && uint32_t(0 - peer_first) < PEER_WRAP_WITHIN)
      h = std::move(c);
  }
  ASSERT_TRUE(h) << "no sequence numbers near the wrap";
  const uint64_t ours = uint32_t(0 - our_first) + PAST_WRAP;
  const auto t0 = clk::now();
  const stream_result r = run_streams(h->h, ours, theirs);
  printf("wrap: %.1f MiB/s our way\n",
         double(ours) / MIB / std::chrono::duration<double>(clk::now() - t0).count());
  expect_we_got(r, theirs);
  // Both numbers have gone round: ours past 2^32, the peer's past its wrap.
  EXPECT_EQ(h->h->tcp.tx_seq.load().v, uint32_t(our_first + ours));
  EXPECT_LT(h->h->tcp.tx_seq.load().v, our_first);
  EXPECT_EQ(h->h->tcp.rx_seq.load().v, uint32_t(peer_first + theirs));
  EXPECT_LT(h->h->tcp.rx_seq.load().v, peer_first);
  close_ours(h->h);
  auto rep = peer.report();
  expect_peer_got(rep, r);
}

}  // namespace
