// The simulator's UDP datapath, driven by hand through the device-access layer: session
// allocation and regions, sends from the TX window to the peer's kernel, datagrams from
// the peer into the receive ring, the receive filter, VLAN slots, the TX time-stamp log,
// and sessions released while traffic flows.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <netinet/in.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fiber_fixture.h"
#include "tx_timestamp_log.h"
#include "udp_session_fixture.h"
#include "zorvtime.h"

namespace {

using zt::card_session;
using zt::port_ip;
using zt::udp_desc;
using zt::udp_slot;

constexpr uint16_t DESC_TIMESTAMP = 0x8000;
constexpr int SMALL_RING = 128 << 10;

// The card clock follows the host's CLOCK_REALTIME: its time in ns.
uint64_t card_now() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return uint64_t(t.tv_sec) * 1000000000ull + uint64_t(t.tv_nsec);
}

// A datagram socket bound to ip:port (in the peer's namespace when peer is set), with
// room for long bursts and a receive timeout.
struct udp_socket {
  int fd;
  udp_socket(bool peer, uint32_t ip, uint16_t port)
      : fd(peer ? zt::peer_socket(AF_INET, SOCK_DGRAM)
                : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    int big = 64 << 20, on = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a = zt::ipv4_addr(ip, port);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
  }
  ~udp_socket() { close(fd); }
  udp_socket(const udp_socket&) = delete;
  udp_socket& operator=(const udp_socket&) = delete;
  bool send_to(uint32_t ip, uint16_t port, const std::string& data) const {
    sockaddr_in a = zt::ipv4_addr(ip, port);
    return sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           ssize_t(data.size());
  }
};

struct datagram {
  std::string data;
  sockaddr_in from{};
  int ttl = -1;
};

// The next datagram on fd; data stays empty and ttl -1 when none came (flags may hold
// MSG_DONTWAIT).
datagram receive(int fd, int flags = 0) {
  datagram d;
  char buf[2048];
  alignas(cmsghdr) char control[64];
  iovec iov{buf, sizeof buf};
  msghdr msg{};
  msg.msg_name = &d.from;
  msg.msg_namelen = sizeof d.from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = recvmsg(fd, &msg, flags);
  if (n < 0) return d;
  d.data.assign(buf, size_t(n));
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
      memcpy(&d.ttl, CMSG_DATA(c), sizeof d.ttl);
  return d;
}

bool nothing_waits(int fd) {
  char b;
  return recv(fd, &b, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

// len bytes that tell datagram `seq` apart from every other.
std::string pattern(int seq, size_t len) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; ++i) s[i] = char((seq * 131 + int(i) * 7 + int(i >> 8)) & 0xff);
  if (len >= 4) memcpy(s.data(), &seq, 4);
  return s;
}

uint64_t peer_wire_mac(int k) {
  int fd = zt::peer_socket(AF_INET, SOCK_DGRAM);
  uint64_t mac = zt::iface_mac(fd, ("wire" + std::to_string(k)).c_str());
  close(fd);
  return mac;
}

std::string slot_payload(const udp_slot& s) {
  return std::string(reinterpret_cast<const char*>(s.payload), size_t(s.len));
}

uint64_t counter(int k, const std::string& name) {
  auto all = zt::sim_counters(k);
  auto it = all.find(name);
  EXPECT_NE(it, all.end()) << name;
  return it == all.end() ? 0 : it->second;
}

// Datagrams of port k that the simulator has dealt with: delivered to a session (once
// per session), dropped for one, or handed on to the host.
uint64_t udp_datagrams_seen(int k) {
  auto c = zt::sim_counters(k);
  return c["udp_rx_delivered"] + c["udp_rx_drop_ring_full"] + c["udp_rx_drop_checksum"] +
         c["udp_rx_drop_zero_length"] + c["udp_rx_drop_too_long"] + c["udp_rx_drop_stopped"] +
         c["udp_rx_filter_miss"];
}

bool seen_grows_by(int k, uint64_t before, uint64_t n) {
  return zt::wait_until([&] { return udp_datagrams_seen(k) >= before + n; });
}

// Whether the window has been read up to the writer's position.
bool card_caught_up(const card_session& s) {
  uint32_t want = uint32_t(s.tx.tx_offset_ >> 12) << 16 | uint32_t(s.tx.tx_offset_ & 0xfff) / 64;
  return zt::wait_until([&] { return s.feedback() == want; });
}

// Ones'-complement sum of big-endian words, as the headers' checksums use it.
uint32_t sum16(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(p[i] << 8 | p[i + 1]);
  if (n & 1) sum += uint32_t(p[n - 1] << 8);
  return sum;
}
uint16_t fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return uint16_t(~sum);
}

// An Ethernet frame with an IPv4 UDP datagram, tagged when vlan is not 0. Offsets of
// the checksums, for tests that spoil them.
struct raw_frame {
  std::vector<uint8_t> bytes;
  size_t ip = 0;
  size_t ip_csum() const { return ip + 10; }
  size_t udp_csum() const { return ip + 26; }
};

void put16(std::vector<uint8_t>& f, size_t at, uint16_t v) {
  f[at] = uint8_t(v >> 8);
  f[at + 1] = uint8_t(v);
}
void put32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  put16(f, at, uint16_t(v >> 16));
  put16(f, at + 2, uint16_t(v));
}

raw_frame udp_frame(uint64_t dst_mac, uint64_t src_mac, uint16_t vlan, uint32_t src_ip,
                    uint32_t dst_ip, uint16_t sport, uint16_t dport, const std::string& payload,
                    bool udp_checksum = true) {
  raw_frame r;
  std::vector<uint8_t>& f = r.bytes;
  r.ip = vlan ? 18 : 14;
  f.assign(r.ip + 28 + payload.size(), 0);
  kvel::u64_to_mac(dst_mac, f.data());
  kvel::u64_to_mac(src_mac, f.data() + 6);
  if (vlan) {
    put16(f, 12, 0x8100);
    put16(f, 14, vlan);
  }
  put16(f, r.ip - 2, 0x0800);
  size_t ip = r.ip, udp = ip + 20;
  f[ip] = 0x45;
  put16(f, ip + 2, uint16_t(28 + payload.size()));
  f[ip + 8] = 64;
  f[ip + 9] = 17;
  put32(f, ip + 12, src_ip);
  put32(f, ip + 16, dst_ip);
  put16(f, r.ip_csum(), fold(sum16(&f[ip], 20)));
  put16(f, udp, sport);
  put16(f, udp + 2, dport);
  put16(f, udp + 4, uint16_t(8 + payload.size()));
  memcpy(&f[udp + 8], payload.data(), payload.size());
  if (udp_checksum) {
    uint16_t ulen = uint16_t(8 + payload.size());
    uint32_t pseudo = sum16(&f[ip + 12], 8) + 17 + ulen;
    uint16_t c = fold(sum16(&f[udp], ulen, pseudo));
    put16(f, r.udp_csum(), c ? c : 0xffff);
  }
  return r;
}

// A raw socket on the peer's end of wire k: sends whole frames, and reads them with the
// VLAN tag the kernel took off.
struct peer_raw {
  int fd;
  explicit peer_raw(int k) : fd(zt::peer_socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL))) {
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_ALL);
    a.sll_ifindex = zt::iface_index(fd, ("wire" + std::to_string(k)).c_str());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
    int on = 1;
    setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on);
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~peer_raw() { close(fd); }
  peer_raw(const peer_raw&) = delete;
  peer_raw& operator=(const peer_raw&) = delete;
  bool send(const raw_frame& f) const {
    return ::send(fd, f.bytes.data(), f.bytes.size(), 0) == ssize_t(f.bytes.size());
  }
  // The next outgoing-from-the-card UDP frame to dport: its bytes (untagged) and VLAN
  // id (-1 untagged); empty when none comes.
  std::vector<uint8_t> next_udp(uint16_t dport, int* vlan) const {
    for (;;) {
      uint8_t buf[2048];
      const ssize_t n = zt::recv_frame_vlan(fd, buf, sizeof buf, vlan);
      if (n < 0) return {};
      if (n < 42 || buf[12] != 0x08 || buf[13] != 0 || buf[23] != 17 ||
          (buf[36] << 8 | buf[37]) != dport)
        continue;
      return std::vector<uint8_t>(buf, buf + n);
    }
  }
};

// Datagrams that wait for the peer's neighbour lookup may overtake each other: the
// peer learns the host's address of port k first, from a datagram of its own.
bool peer_knows_host(int k) {
  udp_socket host(false, port_ip(k, 1), 7999), peer(true, port_ip(k, 2), 7999);
  return peer.send_to(port_ip(k, 1), 7999, "hello") && receive(host.fd).data == "hello";
}

class SimUdp : public testing::Test {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    static const bool neighbours = peer_knows_host(0) && peer_knows_host(1);
    ASSERT_TRUE(neighbours);
  }
};

// ---- sessions and their regions ----

TEST_F(SimUdp, AllocationRefusesBadPortsAndSecondSessions) {
  for (int bad : {-1, 2, 16, 1000}) {
    card_session s;
    EXPECT_EQ(s.allocate(bad), EINVAL) << bad;
  }
  card_session a, b, c;
  ASSERT_EQ(a.allocate(0), 0);
  EXPECT_EQ(a.allocate(0), EBUSY);
  EXPECT_EQ(a.allocate(1), EBUSY);
  ASSERT_TRUE(a.start());
  ASSERT_TRUE(b.open(0));
  ASSERT_TRUE(c.open(1));
  for (card_session* s : {&a, &b, &c}) {
    EXPECT_EQ(s->get(0) >> 24 & 0xff, uint64_t('Q'));
    EXPECT_EQ(s->get(0) >> 9 & 0x7f, 32u) << "slot header length in the identity";
    EXPECT_EQ(s->get(0x70), 32u);
    EXPECT_EQ(s->rx.hdr_len_, 32);
  }
  EXPECT_EQ(a.get(0) & 0x1ff, 0u) << "sessions are numbered per port";
  EXPECT_EQ(b.get(0) & 0x1ff, 1u);
  EXPECT_EQ(c.get(0) & 0x1ff, 0u);

  const uint64_t offered = zt::fiber_get(0, 9);
  zt::fiber_set(0, 9, 2);  // the port now offers two UDP sessions
  card_session d;
  EXPECT_EQ(d.allocate(0), ENOSPC);
  zt::fiber_set(0, 9, offered);
  a.close();
  ASSERT_TRUE(d.open(0));
  EXPECT_EQ(d.get(0) & 0x1ff, 0u) << "a released number is given again";
}

// A port offers the sessions its device line names (the TCP count its default), and
// numbers past nine bits carry on in the identity's bits 23..16.
TEST_F(SimUdp, PortOffersTheConfiguredSessionsNumberedPastNineBits) {
  EXPECT_EQ(zt::fiber_get(0, 9), 600u) << "udp_sessions of the device line";
  EXPECT_EQ(zt::fiber_get(0, 8), 4096u) << "the default TCP sessions";
  std::vector<std::unique_ptr<card_session>> held;
  for (int i = 0; i < 514; ++i) {
    held.push_back(std::make_unique<card_session>());
    ASSERT_TRUE(held.back()->open(0, SMALL_RING)) << "session " << i;
  }
  for (int i : {0, 511, 512, 513}) {
    const uint64_t id = held[size_t(i)]->get(0);
    EXPECT_EQ((id & 0x1ff) | (id >> 16 & 0xff) << 9, uint64_t(i)) << std::hex << id;
    EXPECT_EQ(id >> 24 & 0xff, uint64_t('Q'));
  }
}

TEST_F(SimUdp, FilterAndRegionsNeedASessionAndSaneArguments) {
  card_session none;
  none.fd = kvel::kvel_dev_open("/dev/zorvnic_0");
  ASSERT_GE(none.fd, 0);
  EXPECT_EQ(none.filter(port_ip(0, 1), 7000), EINVAL);
  card_session s;
  ASSERT_EQ(s.allocate(0), 0);
  EXPECT_EQ(s.filter(port_ip(0, 1), 7000, 0xffffffff, 16), EINVAL) << "VLAN slots are 0..15";
  EXPECT_EQ(s.filter(port_ip(0, 1), 7000, 0xffffffff, 15), 0);
  struct {
    long region;
    size_t len;
  } refused[] = {
      {kvel::KVEL_MMAP_RX_RING, 8192},        // below the smallest ring
      {kvel::KVEL_MMAP_RX_RING, 100000},      // not whole pages
      {kvel::KVEL_MMAP_RX_RING, 256u << 20},  // beyond the largest ring
      {kvel::KVEL_MMAP_TX_PIO, 32768},        // larger than the window
      {kvel::KVEL_MMAP_TX_TIMESTAMPS, 4100},  // not whole entries
      {kvel::KVEL_MMAP_REGS, 8192},          {0x7000, 4096},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.region);
    errno = 0;
    EXPECT_EQ(kvel::kvel_dev_mmap(s.fd, r.len, PROT_READ | PROT_WRITE, r.region), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
  }
}

// ---- sends ----

TEST_F(SimUdp, SendsReachThePeerWithValidChecksums) {
  udp_socket peer(true, port_ip(0, 2), 7100);
  card_session s;
  ASSERT_TRUE(s.open(0));
  udp_desc d = s.to_peer(7100, 7200, peer_wire_mac(0));
  d.ttl = 17;
  long csum_errors = zt::peer_snmp("Udp", "InCsumErrors");
  long received = zt::peer_snmp("Udp", "InDatagrams");
  uint64_t frames = counter(0, "udp_tx_frames");
  const int sizes[] = {0, 1, 31, 32, 33, 95, 96, 97, 1000, 1472};
  for (int len : sizes) {
    SCOPED_TRACE(len);
    std::string payload = pattern(len, size_t(len));
    ASSERT_TRUE(s.send(payload.data(), len, d));
    datagram got = receive(peer.fd);
    EXPECT_EQ(got.data, payload);
    EXPECT_EQ(ntohl(got.from.sin_addr.s_addr), port_ip(0, 1));
    EXPECT_EQ(ntohs(got.from.sin_port), 7200);
    EXPECT_EQ(got.ttl, 17);
  }
  EXPECT_EQ(zt::peer_snmp("Udp", "InCsumErrors"), csum_errors);
  EXPECT_EQ(zt::peer_snmp("Udp", "InDatagrams"), received + long(std::size(sizes)));
  EXPECT_EQ(counter(0, "udp_tx_frames"), frames + std::size(sizes));
  EXPECT_EQ(counter(0, "udp0.tx_frames"), std::size(sizes));
}

TEST_F(SimUdp, SendsLeaveOnTheSessionsOwnPort) {
  udp_socket peer0(true, port_ip(0, 2), 7110), peer1(true, port_ip(1, 2), 7110);
  card_session s;
  ASSERT_TRUE(s.open(1));
  uint64_t port0_frames = counter(0, "udp_tx_frames");
  ASSERT_TRUE(s.send("one", 3, s.to_peer(7110, 7111, peer_wire_mac(1))));
  EXPECT_EQ(receive(peer1.fd).data, "one");
  EXPECT_TRUE(nothing_waits(peer0.fd));
  EXPECT_EQ(counter(0, "udp_tx_frames"), port0_frames);
  EXPECT_EQ(counter(1, "udp0.tx_frames"), 1u);
}

TEST_F(SimUdp, SendsRunThroughManyRoundsOfTheWindowInOrder) {
  udp_socket peer(true, port_ip(0, 2), 7101);
  card_session s;
  ASSERT_TRUE(s.open(0));
  udp_desc d = s.to_peer(7101, 7201, peer_wire_mac(0));
  constexpr int SENDS = 3000;  // some 60 rounds of the window
  for (int i = 0; i < SENDS; ++i) {
    std::string payload = pattern(i, size_t(4 + i * 37 % 1469));
    ASSERT_TRUE(s.send(payload.data(), int(payload.size()), d)) << i;
  }
  for (int i = 0; i < SENDS; ++i)
    ASSERT_EQ(receive(peer.fd).data, pattern(i, size_t(4 + i * 37 % 1469))) << i;
  EXPECT_TRUE(card_caught_up(s)) << std::hex << s.feedback();
}

// Lines that a write-combining writer may make visible in any order, written by hand.
struct window_writer {
  card_session& s;
  alignas(64) uint8_t lines[4][64] = {};

  // A send of len bytes at the writer's position; its line count.
  int prepare(udp_desc d, const std::string& payload) {
    d.length = uint16_t(payload.size());
    memcpy(lines[0], &d, 32);
    memcpy(&lines[0][32], payload.data(), payload.size());
    return payload.size() <= 32 ? 1 : 1 + int(payload.size() - 32 + 63) / 64;
  }
  volatile uint64_t* word(int line, int w) const {
    return reinterpret_cast<volatile uint64_t*>(s.tx.tx_pio_mem_ + s.tx.tx_offset_ + 64 * line) + w;
  }
  void put(int line, int w) const {
    memcpy(const_cast<uint64_t*>(word(line, w)), &lines[line][8 * w], 8);
  }
  void put_line(int line) const {
    for (int w = 0; w < 8; ++w) put(line, w);
  }
};

TEST_F(SimUdp, ASendWaitsForEveryWordOfEveryLine) {
  udp_socket peer(true, port_ip(0, 2), 7102);
  card_session s;
  ASSERT_TRUE(s.open(0));
  window_writer w{s};
  std::string payload = pattern(7, 150);
  ASSERT_EQ(w.prepare(s.to_peer(7102, 7202, peer_wire_mac(0)), payload), 3);
  w.put_line(2);
  w.put_line(1);
  for (int i = 0; i < 8; ++i)
    if (i != 3) w.put(0, i);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(nothing_waits(peer.fd)) << "sent before one word of the descriptor line was written";
  EXPECT_EQ(s.feedback(), 0u);
  w.put(0, 3);
  EXPECT_EQ(receive(peer.fd).data, payload);
  EXPECT_TRUE(zt::wait_until([&] { return s.feedback() == 3; })) << s.feedback();
  for (int line = 0; line < 3; ++line)
    for (int i = 0; i < 8; ++i) {
      uint64_t written;
      memcpy(&written, &w.lines[line][8 * i], 8);
      EXPECT_NE(*w.word(line, i), written)
          << "line " << line << " word " << i << " not poisoned again";
    }
}

TEST_F(SimUdp, TakingASendPoisonsTheSameLinesTwoRoundsAhead) {
  udp_socket peer(true, port_ip(0, 2), 7103);
  card_session s;
  ASSERT_TRUE(s.open(0));
  udp_desc d = s.to_peer(7103, 7203, peer_wire_mac(0));
  auto round3 = [&](int line) {
    const uint64_t* p = reinterpret_cast<const uint64_t*>(s.tx.tx_pio_mem_ + 3 * 4096 + 64 * line);
    int zero = 0;
    for (int i = 0; i < 8; ++i) zero += p[i] == 0;
    return zero;
  };
  for (int line = 0; line < 64; ++line)
    ASSERT_EQ(round3(line), 8) << "set-up zeroes the last round";
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(s.send("x", 1, d));  // all of round 0
  std::string three_lines = pattern(1, 150);
  ASSERT_TRUE(s.send(three_lines.data(), 150, d));  // lines 0..2 of round 1
  ASSERT_TRUE(card_caught_up(s));
  for (int line = 0; line < 3; ++line) EXPECT_EQ(round3(line), 0) << line;
  for (int line = 3; line < 64; ++line) EXPECT_EQ(round3(line), 8) << line;
}

TEST_F(SimUdp, SendsOnAVlanSlotCarryItsTag) {
  constexpr int VLAN_REG = 16 + 2;  // slot 3
  zt::fiber_set(0, VLAN_REG, 100ull << 32 | port_ip(0, 1));
  peer_raw raw(0);
  card_session s;
  ASSERT_TRUE(s.open(0));
  udp_desc d = s.to_peer(7104, 7204, peer_wire_mac(0));
  d.vlan_slot = 3;
  std::vector<std::vector<uint8_t>> frames;
  for (const char* text : {"tagged", "again"}) {
    ASSERT_TRUE(s.send(text, int(strlen(text)), d));
    int vlan = 0;
    frames.push_back(raw.next_udp(7104, &vlan));
    ASSERT_FALSE(frames.back().empty());
    EXPECT_EQ(vlan, 100);
    const uint8_t* f = frames.back().data();
    EXPECT_EQ(fold(sum16(f + 14, 20)), 0) << "IPv4 header checksum";
    EXPECT_TRUE(f[20] & 0x40) << "don't fragment";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f + 42), strlen(text)), text);
  }
  EXPECT_EQ((frames[1][18] << 8 | frames[1][19]) - (frames[0][18] << 8 | frames[0][19]), 1)
      << "IPv4 ids count up";
  d.vlan_slot = 4;  // an empty slot: nothing can be sent on it
  ASSERT_TRUE(s.send("lost", 4, d));
  EXPECT_TRUE(zt::wait_until([] { return counter(0, "udp0.tx_bad_desc") == 1; }));
  zt::fiber_set(0, VLAN_REG, 0);
}

TEST_F(SimUdp, StampedSendsFillTheTimeStampLog) {
  udp_socket peer(true, port_ip(0, 2), 7105);
  card_session s;
  ASSERT_TRUE(s.open(0));
  void* p = kvel::kvel_dev_mmap(s.fd, 4096, PROT_READ | PROT_WRITE, kvel::KVEL_MMAP_TX_TIMESTAMPS);
  ASSERT_NE(p, MAP_FAILED);
  auto* log = static_cast<const volatile kvel::tx_ts_entry*>(p);  // 256 entries
  udp_desc d = s.to_peer(7105, 7205, peer_wire_mac(0));
  uint64_t start = card_now();
  // 261 sends of which the second is not stamped: stamps 0..259, the last four of them
  // in entries 0..3 on the log's second lap.
  for (int i = 0; i < 261; ++i) {
    d.flags = i == 1 ? 0 : DESC_TIMESTAMP;
    ASSERT_TRUE(s.send("t", 1, d));
  }
  ASSERT_TRUE(card_caught_up(s));
  uint64_t end = card_now();
  uint64_t last_time = 0;
  for (uint64_t id = 4; id < 260; ++id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(log[id & 255].id, id);
    uint64_t t = kvel::card_time_to_ns(log[id & 255].time);
    EXPECT_GE(t, start);
    EXPECT_LE(t, end);
    EXPECT_GE(t, last_time);
    last_time = t;
  }
  kvel::kvel_dev_munmap(p, 4096);
}

// ---- receives ----

TEST_F(SimUdp, DatagramsLandInTheRingInOrderWithTheirFields) {
  card_session s;
  ASSERT_TRUE(s.open(0));
  ASSERT_EQ(s.filter(port_ip(0, 1), 7300), 0);
  udp_socket host(false, port_ip(0, 1), 7300), peer(true, port_ip(0, 2), 7301);
  const int sizes[] = {1, 15, 16, 223, 224, 225, 480, 1000, 1472};
  uint64_t start = card_now();
  for (int len : sizes) ASSERT_TRUE(peer.send_to(port_ip(0, 1), 7300, pattern(len, size_t(len))));
  int line = 0;
  for (int len : sizes) {
    SCOPED_TRACE(len);
    udp_slot slot;
    ASSERT_TRUE(s.receive(&slot));
    EXPECT_EQ(s.rx.rdptr_, line) << "slots cover whole 256-byte blocks";
    EXPECT_EQ(slot.len, len);
    EXPECT_EQ(slot_payload(slot), pattern(len, size_t(len)));
    EXPECT_EQ(slot.src_ip, port_ip(0, 2));
    EXPECT_EQ(slot.src_port, 7301);
    EXPECT_EQ(slot.dst_ip, port_ip(0, 1));
    EXPECT_EQ(slot.dst_port, 7300);
    uint64_t t = kvel::card_time_to_ns(slot.time);
    EXPECT_GE(t, start);
    EXPECT_LE(t, card_now());
    line += 4 * ((len + 32 + 255) / 256);
    s.rx.release_slot();
  }
  EXPECT_EQ(s.get(0x110), uint64_t(line)) << "the card's write position";
  EXPECT_TRUE(nothing_waits(host.fd)) << "a session's datagram also went up the host interface";
  EXPECT_EQ(counter(0, "udp0.rx_delivered"), std::size(sizes));
}

TEST_F(SimUdp, ABurstLargerThanTheRingDropsWholeDatagrams) {
  card_session s;
  ASSERT_TRUE(s.open(0, SMALL_RING));  // 2048 lines; 1000-byte datagrams take 20
  ASSERT_EQ(s.filter(port_ip(0, 1), 7310), 0);
  udp_socket peer(true, port_ip(0, 2), 7311);
  // 1000 bytes in the first burst; in the second every size, so that slots of every
  // block count meet the end of the ring.
  auto size_of = [](int seq) { return seq < 1000 ? size_t(1000) : size_t(4 + seq * 97 % 1469); };
  auto burst = [&](int first, int n) {
    for (int i = first; i < first + n; ++i) {
      EXPECT_TRUE(peer.send_to(port_ip(0, 1), 7310, pattern(i, size_of(i))));
      // Paced so that the wire's own queue never overflows.
      if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  auto placed_or_dropped = [] {
    return counter(0, "udp0.rx_delivered") + counter(0, "udp0.rx_drop_ring_full");
  };

  // Unread, the first lap holds the 90 slots before its last 256 lines: the slot after
  // them would be the lap's last, whose successor, line 0, is not free yet.
  burst(0, 300);
  ASSERT_TRUE(zt::wait_until([&] { return placed_or_dropped() == 300; })) << placed_or_dropped();
  EXPECT_EQ(counter(0, "udp0.rx_delivered"), 90u);
  EXPECT_EQ(counter(0, "udp0.rx_drop_ring_full"), 210u);
  EXPECT_EQ(s.get(0x118), 210u) << "the ring's drop register";
  for (int i = 0; i < 90; ++i) {
    udp_slot slot;
    ASSERT_TRUE(s.receive(&slot, 100)) << i;
    ASSERT_EQ(slot_payload(slot), pattern(i, 1000)) << i;
    s.rx.release_slot();
  }
  udp_slot extra;
  EXPECT_FALSE(s.receive(&extra, 50));

  // Read while it arrives, now and then too slowly: the ring wraps and fills again, and
  // what is placed stays whole and in order.
  std::thread sender(burst, 1000, 2000);
  int got = 0, wraps = 0, last = 999;
  while (s.receive(&extra, 500)) {
    int seq;
    memcpy(&seq, extra.payload, 4);
    ASSERT_GT(seq, last);
    ASSERT_EQ(slot_payload(extra), pattern(seq, size_of(seq)));
    last = seq;
    if (++got % 200 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int before = s.rx.rdptr_;
    s.rx.release_slot();
    wraps += s.rx.rdptr_ < before;
  }
  sender.join();
  EXPECT_GT(wraps, 1);
  EXPECT_GT(counter(0, "udp0.rx_drop_ring_full"), 210u) << "the reader's pauses overflow the ring";
  EXPECT_EQ(placed_or_dropped(), 2300u);
  EXPECT_EQ(counter(0, "udp0.rx_delivered"), 90u + uint64_t(got));
}

TEST_F(SimUdp, TheFilterDecidesWhichSessionsGetADatagram) {
  constexpr uint32_t HOST = port_ip(0, 1);
  struct filter_t {
    uint32_t match, mask;
    uint16_t port;
    uint8_t slot;
  } filters[] = {
      {HOST, 0xffffffff, 7400, 0},        // 0
      {HOST, 0xffffffff, 0, 0},           // 1: any port
      {HOST, 0xffffffff, 7400, 0},        // 2: as 0, but later
      {0xEF010203, 0xffffffff, 7402, 0},  // 3: 239.1.2.3
      {0xEF010000, 0xffff0000, 0, 0},     // 4: 239.1/16
      {0xEF020000, 0xffff0000, 0, 0},     // 5: 239.2/16
      {HOST, 0xffffffff, 7403, 1},        // 6: VLAN slot 1 only
      {HOST, 0xffffff00, 7404, 0},        // 7: the subnet
      {HOST, 0xffffff00, 7404, 0},        // 8: as 7, but later
  };
  std::vector<std::unique_ptr<card_session>> sessions;
  for (const filter_t& f : filters) {
    sessions.push_back(std::make_unique<card_session>());
    ASSERT_TRUE(sessions.back()->open(0, SMALL_RING));
    ASSERT_EQ(sessions.back()->filter(f.match, f.port, f.mask, f.slot), 0);
  }
  udp_socket peer(true, port_ip(0, 2), 7401);
  in_addr out{htonl(port_ip(0, 2))};
  ASSERT_EQ(setsockopt(peer.fd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), 0);
  int on = 1;
  ASSERT_EQ(setsockopt(peer.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
  struct case_t {
    uint32_t dst;
    uint16_t port;
    std::set<int> receivers;
  } cases[] = {
      {HOST, 7400, {0}},            // unicast: the first that matches only
      {HOST, 7401, {1}},            // the any-port filter
      {HOST, 7403, {1}},            // untagged: not the VLAN session's
      {0xEF010203, 7402, {3, 4}},   // multicast: every match
      {0xEF010909, 7402, {4}},      // under the group mask only
      {0xEF030303, 7402, {}},       // nobody's group
      {HOST | 0xff, 7404, {7, 8}},  // the subnet's broadcast: every match
  };
  int seq = 0;
  for (const case_t& c : cases) {
    SCOPED_TRACE(seq);
    uint64_t seen = udp_datagrams_seen(0);
    std::string payload = pattern(seq++, 40);
    ASSERT_TRUE(peer.send_to(c.dst, c.port, payload));
    ASSERT_TRUE(seen_grows_by(0, seen, std::max<size_t>(1, c.receivers.size())));
    for (size_t i = 0; i < sessions.size(); ++i) {
      udp_slot slot;
      bool got = sessions[i]->receive(&slot, 0);
      EXPECT_EQ(got, c.receivers.count(int(i)) == 1) << "session " << i;
      if (!got) continue;
      EXPECT_EQ(slot_payload(slot), payload);
      EXPECT_EQ(slot.dst_ip, c.dst);
      sessions[i]->rx.release_slot();
    }
  }
}

TEST_F(SimUdp, TaggedDatagramsBelongToTheirVlanSlot) {
  constexpr int VLAN_REG = 16 + 1;  // slot 2
  zt::fiber_set(0, VLAN_REG, 200ull << 32 | port_ip(0, 1));
  card_session s;
  ASSERT_TRUE(s.open(0));
  ASSERT_EQ(s.filter(port_ip(0, 1), 7500, 0xffffffff, 2), 0);
  udp_socket host(false, port_ip(0, 1), 7500);
  peer_raw raw(0);
  uint64_t peer_mac = peer_wire_mac(0);
  auto frame = [&](uint16_t vlan, const std::string& text) {
    return udp_frame(zt::port_mac(0), peer_mac, vlan, port_ip(0, 2), port_ip(0, 1), 7501, 7500,
                     text);
  };
  ASSERT_TRUE(raw.send(frame(200, "on vlan 200")));
  udp_slot slot;
  ASSERT_TRUE(s.receive(&slot));
  EXPECT_EQ(slot_payload(slot), "on vlan 200");
  EXPECT_EQ(slot.src_port, 7501);
  s.rx.release_slot();

  ASSERT_TRUE(raw.send(frame(0, "untagged")));
  EXPECT_EQ(receive(host.fd).data, "untagged") << "not the VLAN session's: up the host interface";
  uint64_t misses = counter(0, "udp_rx_filter_miss");
  ASSERT_TRUE(raw.send(frame(300, "unknown vlan")));
  EXPECT_TRUE(zt::wait_until([&] { return counter(0, "udp_rx_filter_miss") == misses + 1; }));
  EXPECT_FALSE(s.receive(&slot, 0));
  zt::fiber_set(0, VLAN_REG, 0);
}

TEST_F(SimUdp, BadChecksumsAndEmptyDatagramsAreDroppedAndCounted) {
  card_session s;
  ASSERT_TRUE(s.open(0));
  ASSERT_EQ(s.filter(port_ip(0, 1), 7510), 0);
  udp_socket host(false, port_ip(0, 1), 7510), peer(true, port_ip(0, 2), 7511);
  peer_raw raw(0);
  uint64_t peer_mac = peer_wire_mac(0);
  auto frame = [&](const std::string& text, bool udp_checksum = true) {
    return udp_frame(zt::port_mac(0), peer_mac, 0, port_ip(0, 2), port_ip(0, 1), 7511, 7510, text,
                     udp_checksum);
  };
  raw_frame bad_udp = frame("bad udp"), bad_ip = frame("bad ip");
  bad_udp.bytes[bad_udp.udp_csum()] ^= 0x5a;
  bad_ip.bytes[bad_ip.ip_csum()] ^= 0x5a;
  ASSERT_TRUE(raw.send(bad_udp));
  ASSERT_TRUE(raw.send(bad_ip));
  ASSERT_TRUE(peer.send_to(port_ip(0, 1), 7510, ""));
  ASSERT_TRUE(raw.send(frame("no udp checksum", false)));
  udp_slot slot;
  ASSERT_TRUE(s.receive(&slot));
  EXPECT_EQ(slot_payload(slot), "no udp checksum");
  EXPECT_EQ(s.rx.rdptr_, 0) << "the dropped datagrams took no slot";
  // The kernel's datagram may wait for the peer's neighbour lookup, the raw frames not.
  EXPECT_TRUE(zt::wait_until([] { return counter(0, "udp0.rx_drop_zero_length") == 1; }));
  EXPECT_EQ(counter(0, "udp0.rx_drop_checksum"), 2u);
  EXPECT_EQ(counter(0, "udp0.rx_delivered"), 1u);
  EXPECT_TRUE(nothing_waits(host.fd));
}

TEST_F(SimUdp, NothingIsDeliveredWhileTheRingIsStopped) {
  card_session s;
  ASSERT_TRUE(s.open(0));
  ASSERT_EQ(s.filter(port_ip(0, 1), 7520), 0);
  udp_socket peer(true, port_ip(0, 2), 7521);
  uint64_t lines = s.get(0x100);
  auto stopped_drops = [] { return counter(0, "udp0.rx_drop_stopped"); };

  s.set(0x008, s.get(0x008) & ~uint64_t(2));  // receive off
  ASSERT_TRUE(peer.send_to(port_ip(0, 1), 7520, "off"));
  EXPECT_TRUE(zt::wait_until([&] { return stopped_drops() == 1; }));
  s.set(0x008, s.get(0x008) | 2);
  s.set(0x100, lines / 2);  // a size other than the mapped ring's
  ASSERT_TRUE(peer.send_to(port_ip(0, 1), 7520, "resized"));
  EXPECT_TRUE(zt::wait_until([&] { return stopped_drops() == 2; }));
  s.set(0x100, lines);
  ASSERT_TRUE(peer.send_to(port_ip(0, 1), 7520, "on"));
  udp_slot slot;
  ASSERT_TRUE(s.receive(&slot));
  EXPECT_EQ(slot_payload(slot), "on");
}

TEST_F(SimUdp, SessionsKeepToTheirPort) {
  card_session s0;
  ASSERT_TRUE(s0.open(0));
  ASSERT_EQ(s0.filter(0, 7530, 0), 0);  // every destination address
  udp_socket host1(false, port_ip(1, 1), 7530), peer1(true, port_ip(1, 2), 7531);
  ASSERT_TRUE(peer1.send_to(port_ip(1, 1), 7530, "port 1"));
  EXPECT_EQ(receive(host1.fd).data, "port 1");
  udp_slot slot;
  EXPECT_FALSE(s0.receive(&slot, 0));
}

// ---- release ----

TEST_F(SimUdp, ReleasingSessionsWhileTrafficFlowsIsSafe) {
  udp_socket host(false, port_ip(0, 1), 7600), peer(true, port_ip(0, 2), 7601);
  uint64_t peer_mac = peer_wire_mac(0);
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    for (int i = 0; !stop; ++i) {
      peer.send_to(port_ip(0, 1), 7600, pattern(i, 200));
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  for (int round = 0; round < 40; ++round) {
    card_session s;
    ASSERT_TRUE(s.open(0, SMALL_RING));
    ASSERT_EQ(s.filter(port_ip(0, 1), 7600), 0);
    udp_desc d = s.to_peer(7601, 7600, peer_mac);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(s.send("bye", 3, d));
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
  }  // each released with sends and datagrams in flight
  stop = true;
  flood.join();
  EXPECT_EQ(zt::sim_ctl("ping").status, 0) << "the simulator lives on";
  ASSERT_TRUE(peer.send_to(port_ip(0, 1), 7600, "after"));
  datagram got;
  do got = receive(host.fd);  // the flood's last datagrams first
  while (!got.data.empty() && got.data != "after");
  EXPECT_EQ(got.data, "after") << "released sessions filter nothing";
}

}  // namespace
