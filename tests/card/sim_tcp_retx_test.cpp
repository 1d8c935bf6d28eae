// The simulator's data retransmission on TCP sessions and its wire impairment, driven
// by hand through the device-access layer: resends on timeout with growing gaps up to
// the reset request, a lost segment made good for the peer's kernel, fast retransmit
// on duplicate ACKs from a peer made by hand, a stream through a lossy wire, and the
// impairment's control command and rates.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tcp_session_fixture.h"

namespace {

using zt::port_ip;
using zt::TCP_ACK;
using zt::tcp_card_session;
using zt::TCP_PSH;
using zt::TCP_SYN;

constexpr uint16_t PEER_PORT = 5000;
constexpr uint32_t ISN = 1000;
constexpr int PHANTOM_HOST = 99;  // a peer address nobody holds: only the test answers
constexpr uint8_t RESET_REQUEST = 0x04;
constexpr uint8_t DATA_FLAGS = TCP_ACK | TCP_PSH;
uint16_t next_local_port = 43000;

uint64_t counter(int k, const std::string& name) { return zt::sim_counters(k)[name]; }

bool ctl_ok(const std::string& cmd) { return zt::sim_ctl(cmd).status == 0; }

// A payload segment the card sent, as the peer's wire saw it.
struct wire_segment {
  uint32_t seq = 0;
  std::string payload;
  std::chrono::steady_clock::time_point at;
};

// The next segment with payload from local_port on the wire, waited for up to ms.
bool next_data(const zt::peer_wire& wire, uint16_t local_port, wire_segment* s, int ms = 3000) {
  std::string f;
  int vlan;
  if (!wire.next_segment(local_port, DATA_FLAGS, &f, &vlan, ms)) return false;
  s->at = std::chrono::steady_clock::now();
  const unsigned char* ip = reinterpret_cast<const unsigned char*>(f.data()) + 14;
  const unsigned char* tcp = ip + (ip[0] & 0xf) * 4;
  uint32_t be;
  memcpy(&be, tcp + 4, 4);
  s->seq = ntohl(be);
  size_t total = size_t(ip[2] << 8 | ip[3]);
  size_t hdr = (ip[0] & 0xf) * 4 + (tcp[12] >> 4) * 4;
  s->payload = f.substr(14 + hdr, total - hdr);
  return true;
}

// A TCP session of port k bound to a connection with the peer at 198.18.k.<host>, its
// segments addressed to wire<k>.
struct card_connection {
  int k;
  tcp_card_session t;
  uint16_t local_port = next_local_port++;
  uint32_t snd = ISN + 1, peer_seq = 0;

  card_connection(int port, int host) : k(port) {
    std::string wire_name = "wire" + std::to_string(k);
    zt::peer_wire wire(k);
    EXPECT_TRUE(ctl_ok("fiber-set " + std::to_string(k) + " 14 " + std::to_string(port_ip(k, 1))));
    t.peer_mac = zt::iface_mac(wire.fd, wire_name.c_str());
    EXPECT_EQ(t.allocate(k), 0);
    EXPECT_TRUE(t.start());
    EXPECT_EQ(t.bind(port_ip(k, host), local_port, PEER_PORT), 0);
  }
  void send_data(const std::string& data) {
    ASSERT_TRUE(t.send(DATA_FLAGS, snd, peer_seq, data));
    snd += uint32_t(data.size());
  }
  // A segment without payload from the peer's side of the connection, sent on the wire.
  void peer_segment(const zt::peer_wire& wire, uint32_t seq, uint32_t ack, uint8_t flags) const {
    zt::segment_addr a{zt::port_mac(k), t.peer_mac, t.remote_ip,
                       port_ip(k, 1),   PEER_PORT,  local_port};
    std::vector<unsigned char> f = zt::tcp_frame(a, seq, ack, flags);
    ASSERT_TRUE(wire.send_frame(f.data(), f.size()));
  }
  void peer_ack(const zt::peer_wire& wire, uint32_t ack) const {
    peer_segment(wire, peer_seq, ack, TCP_ACK);
  }
  // The handshake with the peer's kernel listening on listen_fd; its accepted socket.
  int handshake(int listen_fd) {
    EXPECT_TRUE(t.send(TCP_SYN, ISN, 0, "", zt::mss_option(1460)));
    zt::tcp_slot synack;
    if (!t.receive(&synack) || synack.flags != (TCP_SYN | TCP_ACK)) return -1;
    peer_seq = synack.seq + 1;
    EXPECT_TRUE(t.send(TCP_ACK, snd, peer_seq));
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd >= 0) zt::set_timeout(fd);
    t.offload_acks();
    return fd;
  }
};

// Reads n bytes from fd, or what came before the receive timeout.
std::string recv_all(int fd, size_t n) {
  std::string got;
  char buf[65536];
  while (got.size() < n) {
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    got.append(buf, size_t(r));
  }
  return got;
}

// Port 0 gives up two seconds after the last progress. The peer acknowledges the first
// segment (a round-trip sample brings the timeout down to its floor) but never the
// second: that one is resent with doubling gaps, then at the give-up time the reset
// request appears and resends stop.
TEST(SimTcpRetx, UnacknowledgedSegmentIsResentUntilTheResetRequest) {
  ZT_REQUIRE_LAUNCHED();
  zt::peer_wire wire(0);
  card_connection c(0, PHANTOM_HOST);
  std::map<std::string, uint64_t> before = zt::sim_counters(0);
  c.send_data("sample");
  wire_segment s;
  ASSERT_TRUE(next_data(wire, c.local_port, &s));
  c.peer_ack(wire, c.snd);
  zt::tcp_slot ack;
  ASSERT_TRUE(c.t.receive(&ack));
  uint32_t lost_seq = c.snd;
  c.send_data("lost");
  // Gaps of 100, 200, 400 and 800 ms, then the give-up 2 s after the send: had the card
  // gone on, its next resend would have followed 1600 ms after the last.
  std::vector<wire_segment> seen;
  while (next_data(wire, c.local_port, &s, 2000)) {
    EXPECT_EQ(s.seq, lost_seq);
    EXPECT_EQ(s.payload, "lost");
    seen.push_back(s);
  }
  ASSERT_EQ(seen.size(), 5u);  // the segment and its four resends
  for (size_t i = 2; i < seen.size(); ++i)
    EXPECT_GT(seen[i].at - seen[i - 1].at, seen[i - 1].at - seen[i - 2].at) << i;
  EXPECT_NE(c.t.txack().flags & RESET_REQUEST, 0);
  std::map<std::string, uint64_t> after = zt::sim_counters(0);
  EXPECT_EQ(after["tcp_tx_retransmits"] - before["tcp_tx_retransmits"], 4u);
  EXPECT_EQ(after["tcp_reset_requests"] - before["tcp_reset_requests"], 1u);
  EXPECT_EQ(after["tcp0.reset_requests"], 1u);
  EXPECT_EQ(after["tcp0.tx_fast_retransmits"], 0u);
}

// A reset from before what the card has received is stale: the peer's kernel answers
// so a segment of ours that acknowledged less (sent before its FIN was taken) once its
// socket is gone. The card goes on resending, and the resend, which acknowledges all,
// draws the reset that counts; that one ends the resends. Port 1: the default timers.
TEST(SimTcpRetx, StaleResetLeavesResendsGoingAndAFreshOneEndsThem) {
  ZT_REQUIRE_LAUNCHED();
  zt::peer_wire wire(1);
  card_connection c(1, PHANTOM_HOST);
  // The peer's SYN-ACK shows the card where the peer's numbers stand.
  constexpr uint32_t PEER_ISN = 7000;
  c.peer_segment(wire, PEER_ISN, c.snd, TCP_SYN | TCP_ACK);
  zt::tcp_slot syn_ack;
  ASSERT_TRUE(c.t.receive(&syn_ack));
  c.peer_seq = PEER_ISN + 1;
  c.send_data("unanswered");
  wire_segment s;
  ASSERT_TRUE(next_data(wire, c.local_port, &s));
  c.peer_segment(wire, PEER_ISN, 0, zt::TCP_RST);
  ASSERT_TRUE(next_data(wire, c.local_port, &s, 5000)) << "the stale reset stopped the resends";
  EXPECT_EQ(s.payload, "unanswered");
  c.peer_segment(wire, c.peer_seq, 0, zt::TCP_RST);
  const uint64_t resent = counter(1, "tcp_tx_retransmits");
  EXPECT_FALSE(next_data(wire, c.local_port, &s, 5000)) << "resent after the reset";
  EXPECT_EQ(counter(1, "tcp_tx_retransmits"), resent);
  EXPECT_EQ(c.t.txack().flags & RESET_REQUEST, 0);
}

// A segment lost on the wire toward the peer's kernel is resent: the peer reads the
// stream whole and in order, and acknowledges all of it.
TEST(SimTcpRetx, LostSegmentIsResentAndThePeerReadsTheStreamIntact) {
  ZT_REQUIRE_LAUNCHED();
  int listen_fd = zt::tcp_listener(true, port_ip(0, 2), PEER_PORT);
  ASSERT_GE(listen_fd, 0);
  card_connection c(0, 2);
  int conn = c.handshake(listen_fd);
  ASSERT_GE(conn, 0);
  uint64_t dropped = counter(0, "impair_dropped");
  ASSERT_TRUE(ctl_ok("impair 0 tx loss=100"));
  c.send_data("abc");
  ASSERT_TRUE(zt::wait_until([&] { return counter(0, "impair_dropped") > dropped; }));
  ASSERT_TRUE(ctl_ok("impair 0 tx off"));
  c.send_data("def");
  EXPECT_EQ(recv_all(conn, 6), "abcdef");
  EXPECT_GE(counter(0, "tcp0.tx_retransmits"), 1u);
  EXPECT_TRUE(zt::wait_until([&] { return c.t.txack().ack == c.snd; })) << c.t.txack().ack;
  close(conn);
  close(listen_fd);
}

// Three duplicate ACKs from a peer made by hand: one fast retransmit of the first
// unacknowledged segment, none for more duplicates of the same loss; a partial ACK
// then resends the next hole. Port 2's timer stays out of it.
TEST(SimTcpRetx, ThirdDuplicateAckResendsTheFirstUnacknowledgedSegmentOnce) {
  ZT_REQUIRE_LAUNCHED();
  zt::peer_wire wire(2);
  card_connection c(2, PHANTOM_HOST);
  c.t.offload_acks();
  constexpr uint32_t SEG = 100;
  for (char fill : {'a', 'b', 'c', 'd'}) c.send_data(std::string(SEG, fill));
  wire_segment s;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(next_data(wire, c.local_port, &s));
  const uint32_t first = ISN + 1;
  auto fast = [&] { return counter(2, "tcp0.tx_fast_retransmits"); };
  c.peer_ack(wire, first + SEG);
  for (int i = 0; i < 2; ++i) c.peer_ack(wire, first + SEG);
  EXPECT_TRUE(zt::wait_until([&] { return c.t.txack().dup_ack == 2; }));
  EXPECT_EQ(fast(), 0u);
  c.peer_ack(wire, first + SEG);
  ASSERT_TRUE(zt::wait_until([&] { return fast() == 1; }));
  ASSERT_TRUE(next_data(wire, c.local_port, &s));
  EXPECT_EQ(s.seq, first + SEG);
  EXPECT_EQ(s.payload, std::string(SEG, 'b'));
  for (int i = 0; i < 3; ++i) c.peer_ack(wire, first + SEG);
  EXPECT_TRUE(zt::wait_until([&] { return c.t.txack().dup_ack == 6; }));
  EXPECT_EQ(fast(), 1u);
  c.peer_ack(wire, first + 2 * SEG);
  ASSERT_TRUE(zt::wait_until([&] { return fast() == 2; }));
  do ASSERT_TRUE(next_data(wire, c.local_port, &s));
  while (s.seq == first + SEG);  // a timer's resend of the last hole may come first
  EXPECT_EQ(s.seq, first + 2 * SEG);
  EXPECT_EQ(s.payload, std::string(SEG, 'c'));
}

// A stream through a wire that loses, duplicates and reorders frames both ways reaches
// the peer's kernel whole (port 1: the default limit of resends).
TEST(SimTcpRetx, StreamThroughALossyWireArrivesWhole) {
  ZT_REQUIRE_LAUNCHED();
  int listen_fd = zt::tcp_listener(true, port_ip(1, 2), PEER_PORT);
  ASSERT_GE(listen_fd, 0);
  card_connection c(1, 2);
  int conn = c.handshake(listen_fd);
  ASSERT_GE(conn, 0);
  ASSERT_TRUE(ctl_ok("impair 1 tx loss=10 dup=2 reorder=5 seed=3"));
  ASSERT_TRUE(ctl_ok("impair 1 rx loss=5 reorder=5 seed=4"));
  constexpr int SEGMENTS = 40, SEG = 1000;  // within the peer's first window
  std::string stream;
  for (int i = 0; i < SEGMENTS; ++i) stream += std::string(SEG, char('A' + i % 26));
  for (int i = 0; i < SEGMENTS; ++i) c.send_data(stream.substr(size_t(i) * SEG, SEG));
  timeval tv{20, 0};
  setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_TRUE(recv_all(conn, stream.size()) == stream);
  EXPECT_TRUE(zt::wait_until([&] { return c.t.txack().ack == c.snd; }, 10000));
  ASSERT_TRUE(ctl_ok("impair 1 tx off"));
  ASSERT_TRUE(ctl_ok("impair 1 rx off"));
  std::map<std::string, uint64_t> n = zt::sim_counters(1);
  EXPECT_GT(n["impair_dropped"], 0u);
  EXPECT_GT(n["tcp0.tx_retransmits"], 0u);
  EXPECT_EQ(n["tcp0.reset_requests"], 0u);
  close(conn);
  close(listen_fd);
}

TEST(SimImpairCtl, ShowsSetsAndRefuses) {
  ZT_REQUIRE_LAUNCHED();
  EXPECT_EQ(zt::sim_ctl("impair 1").out,
            "tx loss=0 dup=0 reorder=0 seed=1\nrx loss=0 dup=0 reorder=0 seed=1\n");
  ASSERT_TRUE(ctl_ok("impair 1 rx dup=0.5 seed=9"));
  EXPECT_EQ(zt::sim_ctl("impair 1").out,
            "tx loss=0 dup=0 reorder=0 seed=1\nrx loss=0 dup=0.5 reorder=0 seed=9\n");
  ASSERT_TRUE(ctl_ok("impair 1 rx off"));
  const std::pair<const char*, const char*> refused[] = {
      {"impair", "usage: impair <k>"},
      {"impair 7", "no port 7"},
      {"impair 1 up loss=1", "direction must be tx or rx"},
      {"impair 1 tx", "give off or"},
      {"impair 1 tx loss=200", "bad loss \"200\": a percentage from 0 to 100"},
      {"impair 1 tx loss=1 loss=2", "loss given twice"},
      {"impair 1 tx delay=3", "unknown impairment \"delay=3\""},
      {"impair 1 tx seed=-1", "bad seed"},
  };
  for (const auto& [cmd, why] : refused) {
    zt::cmd_result r = zt::sim_ctl(cmd);
    EXPECT_NE(r.status, 0) << cmd;
    EXPECT_NE(r.out.find(why), std::string::npos) << cmd << ": " << r.out;
  }
  EXPECT_EQ(zt::sim_ctl("impair 1").out,
            "tx loss=0 dup=0 reorder=0 seed=1\nrx loss=0 dup=0 reorder=0 seed=1\n");
}

// The retransmission keys of a port line take only numbers in their range.
TEST(SimRetxConfig, BadRetransmissionKeysAreRefused) {
  ZT_REQUIRE_LAUNCHED();
  const std::pair<const char*, const char*> refused[] = {
      {"tcp_give_up_ms=0", "tcp_give_up_ms must be at least 1"},
      {"tcp_give_up_ms=86400001", "bad value for tcp_give_up_ms"},
      {"tcp_give_up_ms=15m", "bad value for tcp_give_up_ms"},
      {"tcp_rto_min_ms=0", "tcp_rto_min_ms must be at least 1"},
      {"tcp_rto_min_ms=120001", "bad value for tcp_rto_min_ms"},
  };
  const std::string conf = "/tmp/sim_retx_bad.conf";
  for (const auto& [key, why] : refused) {
    std::ofstream(conf) << "device 0\nport kvel9 tap=- " << key << "\n";
    zt::cmd_result r =
        zt::run(std::string(getenv("ZORV_SIM")) + " --config " + conf + " --ctl /tmp/retx_bad.ctl");
    EXPECT_EQ(r.status, 1) << key;
    EXPECT_NE(r.out.find(why), std::string::npos) << key << ": " << r.out;
  }
  unlink(conf.c_str());
}

// A UDP socket bound to ip:port, on the peer's side or the host's; its datagrams
// counted by drain().
struct udp_end {
  int fd;
  udp_end(bool peer, uint32_t ip, uint16_t port)
      : fd(peer ? zt::peer_socket(AF_INET, SOCK_DGRAM)
                : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a = zt::ipv4_addr(ip, port);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
  }
  ~udp_end() { close(fd); }
  int drain() const {
    int n = 0;
    char buf[64];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) ++n;
    return n;
  }
};

struct rate_case {
  bool tx;  // the host sends toward the peer; else the peer toward the host
  const char* settings;
  double loss, dup, reorder;  // the impairment's percentages
};

// Some thousand datagrams through each direction: the counters come near the rates
// asked for, and the receiver gets every frame that was not lost, duplicates too.
TEST(SimImpairRates, CountersFollowTheRequestedRates) {
  ZT_REQUIRE_LAUNCHED();
  constexpr int FRAMES = 4000, BURST = 20;
  constexpr uint16_t PORT = 9000;
  const rate_case cases[] = {
      {true, "loss=10 dup=5 reorder=5", 10, 5, 5},
      {false, "loss=5 dup=10 reorder=2.5", 5, 10, 2.5},
  };
  for (const rate_case& rc : cases) {
    udp_end peer(true, port_ip(1, 2), PORT), host(false, port_ip(1, 1), PORT);
    const udp_end& from = rc.tx ? host : peer;
    const udp_end& to = rc.tx ? peer : host;
    sockaddr_in dst = zt::ipv4_addr(rc.tx ? port_ip(1, 2) : port_ip(1, 1), PORT);
    auto send_one = [&] {
      return sendto(from.fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst) == 1;
    };
    // Neighbours resolved while the wire is clean.
    ASSERT_TRUE(send_one());
    ASSERT_TRUE(zt::wait_until([&] { return to.drain() == 1; }));
    std::string dir = rc.tx ? "tx" : "rx";
    std::map<std::string, uint64_t> before = zt::sim_counters(1);
    ASSERT_TRUE(ctl_ok("impair 1 " + dir + " " + rc.settings));
    int received = 0;
    for (int i = 0; i < FRAMES; ++i) {
      ASSERT_TRUE(send_one());
      // Short bursts, each read before the next, so that no socket buffer overflows.
      if (i % BURST == BURST - 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        received += to.drain();
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the last held frame too
    received += to.drain();
    ASSERT_TRUE(ctl_ok("impair 1 " + dir + " off"));
    std::map<std::string, uint64_t> after = zt::sim_counters(1);
    auto rate = [&](const char* name) {
      return 100.0 * double(after[name] - before[name]) / FRAMES;
    };
    SCOPED_TRACE(dir);
    EXPECT_NEAR(rate("impair_dropped"), rc.loss, rc.loss * 0.4);
    EXPECT_NEAR(rate("impair_duplicated"), rc.dup * (1 - rc.loss / 100), rc.dup * 0.4);
    EXPECT_NEAR(rate("impair_reordered"), rc.reorder * (1 - rc.loss / 100), rc.reorder * 0.5);
    int expected = FRAMES - int(after["impair_dropped"] - before["impair_dropped"]) +
                   int(after["impair_duplicated"] - before["impair_duplicated"]);
    EXPECT_NEAR(received, expected, FRAMES / 100);
  }
}

}  // namespace
