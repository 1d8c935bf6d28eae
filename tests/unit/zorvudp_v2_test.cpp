// The UDP session and API on stand-in pages, where no card is needed: destination MACs
// (broadcast, subnet broadcast, multicast mapping), what a send writes into the TX
// window, time-stamp ids, retargets (their TTL, destinations that do not resolve), the
// receive calls over many laps of a ring, the status text, and bad input on handles of
// every state.
#include <gtest/gtest.h>

#include <immintrin.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "session_fixture.h"
#include "udp_status.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

constexpr uint32_t ip(int a, int b, int c, int d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | uint32_t(d);
}

constexpr int RING = 128 << 10;
constexpr int HDR_LEN = 32;  // as the card's identity register advertises it
constexpr uint64_t IDENTITY = 0x51000000ull | (1ull << 9);
const uint8_t OWN_MAC[6] = {0x02, 0x5A, 0, 0, 0, 0};
constexpr uint32_t OWN_IP = ip(10, 0, 0, 1);

using routine_ptr = int (kvel::tx_pio::*)(const void*, int, const void*, int);

// A UDP handle whose session runs on anonymous pages as if set up on 10.0.0.1/24; the
// card is modelled by the test: it reads the window at once and writes slots.
struct fake_udp {
  zorvsock_handle* h = zorvsock_acquire_handle();
  vyx::zorvudp_v2& udp = h->udp;
  zt::mapped_region regs{4096};
  zt::mapped_region window{kvel::KVEL_TX_PIO_SIZE};
  zt::mapped_region feedback{4096};
  zt::mapped_region ring{RING};
  int card_line = 0;  // where the card writes the next slot

  explicit fake_udp(routine_ptr routine = &kvel::tx_pio::write_avx2) {
    udp.reg_ = reinterpret_cast<volatile uint64_t*>(regs.p);
    udp.reg_[0] = IDENTITY;
    udp.reg_[0x70 / 8] = HDR_LEN;
    udp.itf_ = new kvel::if_info{"kvel0", 5, OWN_IP, ip(255, 255, 255, 0), {}};
    memcpy(udp.itf_->mac, OWN_MAC, 6);
    if (udp.rx_dma_.attach(ring.p, RING) != 0) abort();
    udp.tx_pio_.tx_pio_mem_ = window.p;
    udp.tx_pio_.fdb_ = reinterpret_cast<volatile uint32_t*>(feedback.p);
    udp.tx_pio_.init_tx_state();
    udp.tx_pio_.tx_write_ = routine;
    udp.tx_desc_.src_ip = OWN_IP;
    udp.tx_desc_.ttl = 64;
    udp.max_payload_ = udp.max_payload();
    h->kind = HANDLE_UDP;
  }
  ~fake_udp() {
    // The pages are the test's own: the handle must not unmap them.
    udp.reg_ = nullptr;
    udp.rx_dma_.base_ = nullptr;
    udp.tx_pio_.tx_pio_mem_ = nullptr;
    udp.tx_pio_.fdb_ = nullptr;
    zorvsock_release_handle(h);
  }
  void card_catch_up() {
    const int off = udp.tx_pio_.tx_offset_;
    *udp.tx_pio_.fdb_ = uint32_t(off >> 12) << 16 | uint32_t((off & 0xfff) / 64);
  }
  // The bytes of the window from offset on, across its end.
  std::vector<uint8_t> window_bytes(int offset, int n) const {
    std::vector<uint8_t> out(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out[size_t(i)] = window.p[(offset + i) & 0x3fff];
    return out;
  }
  // The card places one datagram by the ring's rule, length word last.
  void deliver(const std::vector<uint8_t>& payload, uint32_t src, uint16_t sport, uint32_t dst,
               uint16_t dport, uint64_t time) {
    uint8_t* s = udp.rx_dma_.slot(card_line);
    memcpy(s + 2, &time, 8);
    memcpy(s + 10, &src, 4);
    memcpy(s + 14, &sport, 2);
    memcpy(s + 16, &dst, 4);
    memcpy(s + 20, &dport, 2);
    memcpy(s + HDR_LEN, payload.data(), payload.size());
    const uint16_t len = uint16_t(payload.size());
    __atomic_store_n(reinterpret_cast<uint16_t*>(s), len, __ATOMIC_RELEASE);
    card_line = udp.rx_dma_.next_slot(card_line, len);
  }
};

std::string mac_of(const vyx::zorvudp_v2& u) {
  char buf[18];
  const uint8_t* m = u.tx_desc_.dst_mac;
  snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
  return buf;
}

TEST(UdpSession, BuiltWithTheDefaultsAndItsStatePointingAtItself) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  const vyx::zorvudp_v2& u = h->udp;
  EXPECT_EQ(u.fd_, -1);
  EXPECT_EQ(u.reg_, nullptr);
  EXPECT_EQ(u.itf_, nullptr);
  EXPECT_EQ(u.routes_.current_, nullptr);
  EXPECT_EQ(u.rx_ring_bytes_, 4194304);
  EXPECT_EQ(u.tx_pio_.owner_.dev_fd, &u.fd_);
  EXPECT_EQ(u.tx_pio_.owner_.reg, &u.reg_);
  EXPECT_EQ(u.tx_pio_.owner_.control, &u.control_);
  EXPECT_EQ(u.rx_dma_.owner_.dev_fd, &u.fd_);
  EXPECT_EQ(u.rx_dma_.owner_.reg, &u.reg_);
  EXPECT_EQ(u.rx_dma_.owner_.control, &u.control_);
  zorvsock_release_handle(h);
}

TEST(UdpSession, DestinationsWithoutNeighbourLookup) {
  struct row {
    uint32_t dst;
    const char* mac;
  };
  const row rows[] = {
      {ip(255, 255, 255, 255), "FF:FF:FF:FF:FF:FF"},
      {ip(10, 0, 0, 255), "FF:FF:FF:FF:FF:FF"},  // the subnet's broadcast
      {ip(239, 1, 2, 3), "01:00:5E:01:02:03"},
      {ip(239, 129, 2, 3), "01:00:5E:01:02:03"},  // bit 23 of the group is not mapped
      {ip(224, 0, 0, 251), "01:00:5E:00:00:FB"},
      {ip(239, 255, 255, 255), "01:00:5E:7F:FF:FF"},
  };
  fake_udp f;
  for (const row& r : rows) {
    f.udp.dst_ip_ = r.dst;
    EXPECT_EQ(f.udp.resolve_destination(), 0) << std::hex << r.dst;
    EXPECT_EQ(mac_of(f.udp), r.mac) << std::hex << r.dst;
    EXPECT_EQ(f.udp.next_hop_, r.dst);
    EXPECT_EQ(f.udp.tx_desc_.dst_ip, r.dst);
  }
}

TEST(UdpSession, UnreachableDestinationKeepsTheOldMac) {
  fake_udp f;
  f.udp.dst_ip_ = ip(239, 1, 2, 3);
  ASSERT_EQ(f.udp.resolve_destination(), 0);
  // Another subnet's broadcast is no broadcast here, and without routes there is no
  // next hop: no neighbour lookup, no datagram.
  for (uint32_t dst : {ip(10, 0, 1, 255), ip(192, 168, 5, 5)}) {
    f.udp.dst_ip_ = dst;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(f.udp.resolve_destination(), -113);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400))
        << "no neighbour lookup (it waits 0.5 s)";
    EXPECT_EQ(f.udp.tx_desc_.dst_ip, dst) << "the address is taken, its port and MAC are not";
    EXPECT_EQ(mac_of(f.udp), "01:00:5E:01:02:03");
  }
}

TEST(UdpSession, OnlyTheLimitedBroadcastWithoutAnAddress) {
  fake_udp f;
  f.udp.itf_->address = 0;
  f.udp.itf_->netmask = 0;
  f.udp.dst_ip_ = ip(255, 255, 255, 255);
  EXPECT_EQ(f.udp.resolve_destination(), 0);
  f.udp.dst_ip_ = ip(10, 0, 0, 255);
  EXPECT_EQ(f.udp.resolve_destination(), -113);
}

TEST(UdpSession, MaximumPayloadByVlan) {
  fake_udp f;
  EXPECT_EQ(f.udp.max_payload(), 1472);
  f.udp.vlan_slot_ = 3;
  EXPECT_EQ(f.udp.max_payload(), 1468);
}

TEST(UdpSession, RefusedFilterIsReported) {
  fake_udp f;  // no driver behind descriptor -1: every request fails
  f.udp.tx_desc_.src_port = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(f.udp.set_rx_filter(4000, ip(10, 0, 0, 2), 5000, 0, 0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\33[31mkvel:\33[0m Could not setup receive function of UDP\n");
  EXPECT_EQ(f.udp.tx_desc_.src_port, 1) << "nothing sends from a port nobody receives on";
  // A refused change leaves the port the card filters; the same change is tried again.
  const uint16_t filtered = f.udp.local_port_;
  for (int attempt = 0; attempt < 2; ++attempt) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(f.udp.change_local_port(4001), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "HERE1\nHERE2\n\33[31mkvel:\33[0m Could not setup receive function of UDP\n");
    EXPECT_EQ(f.udp.local_port_, filtered);
  }
}

// ---- send ----

struct routine_case {
  const char* name;
  routine_ptr routine;
  uint8_t kvel::tx_pio::*feature;
};
const routine_case ROUTINES[] = {{"avx2", &kvel::tx_pio::write_avx2, &kvel::tx_pio::has_avx2_},
                                 {"avx512", &kvel::tx_pio::write_avx512,
                                  &kvel::tx_pio::has_avx512f_}};

bool cpu_has(uint8_t kvel::tx_pio::*feature) {
  kvel::tx_pio probe;
  probe.read_cpu_features();
  return probe.*feature;
}

TEST(UdpSend, WindowHoldsDescriptorAndPayloadForEverySize) {
  for (const routine_case& rc : ROUTINES) {
    if (!cpu_has(rc.feature)) continue;
    fake_udp f(rc.routine);
    f.udp.dst_ip_ = ip(10, 0, 0, 2);
    f.udp.dst_port_ = 5000;
    f.udp.tx_desc_.dst_ip = ip(10, 0, 0, 2);
    f.udp.tx_desc_.dst_port = 5000;
    f.udp.tx_desc_.flags = 0x1234;
    std::vector<uint8_t> payload(1472);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7 + 1);
    for (int len = 0; len <= 1472; ++len) {
      const int at = f.udp.tx_pio_.tx_offset_;
      const bool stamped = len % 3 == 0;
      uint64_t id = ~0ull;
      ASSERT_EQ(zorvsock_udp_send(f.h, payload.data(), len, stamped ? &id : nullptr), 0)
          << rc.name << " " << len;
      _mm_sfence();
      vyx::udp_tx_desc d;
      const std::vector<uint8_t> bytes = f.window_bytes(at, 32 + len);
      memcpy(&d, bytes.data(), 32);
      ASSERT_EQ(d.length, len);
      ASSERT_EQ(d.flags, stamped ? 0x9234 : 0x1234) << len;
      ASSERT_EQ(d.dst_port, 5000);
      ASSERT_EQ(d.dst_ip, ip(10, 0, 0, 2));
      ASSERT_EQ(d.ttl, 64);
      ASSERT_TRUE(std::equal(payload.begin(), payload.begin() + len, bytes.begin() + 32))
          << rc.name << " " << len;
      if (stamped) {
        ASSERT_EQ(id, uint64_t(len / 3)) << "ids count the stamped sends only";
      }
      f.card_catch_up();
    }
  }
}

TEST(UdpSend, TooLongForTheSessionWritesNothing) {
  fake_udp f;
  f.udp.dst_ip_ = ip(10, 0, 0, 2);
  f.udp.dst_port_ = 5000;
  std::vector<uint8_t> payload(1473);
  EXPECT_EQ(zorvsock_udp_send(f.h, payload.data(), 1473, nullptr), -90);
  EXPECT_EQ(zorvsock_udp_send(f.h, payload.data(), 1472, nullptr), 0);
  f.card_catch_up();
  f.udp.vlan_slot_ = 3;
  f.udp.max_payload_ = f.udp.max_payload();
  const int at = f.udp.tx_pio_.tx_offset_;
  uint64_t id = 7;
  EXPECT_EQ(zorvsock_udp_send(f.h, payload.data(), 1469, &id), -90);
  EXPECT_EQ(id, 7u);
  EXPECT_EQ(f.udp.ts_log_.next_id_, 0u);
  EXPECT_EQ(f.udp.tx_pio_.tx_offset_, at);
  EXPECT_EQ(zorvsock_udp_send(f.h, payload.data(), 1468, nullptr), 0);
}

TEST(UdpSend, FullWindowGivesEagainAndTakesNoId) {
  fake_udp f;
  f.udp.dst_ip_ = ip(10, 0, 0, 2);
  f.udp.dst_port_ = 5000;
  std::vector<uint8_t> payload(1472);
  uint64_t id = 0;
  EXPECT_EQ(zorvsock_udp_send(f.h, payload.data(), 1472, &id), 0);
  EXPECT_EQ(zorvsock_udp_send(f.h, payload.data(), 1472, &id), 0);
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(zorvsock_udp_send_ready(f.h), 0);
  const int at = f.udp.tx_pio_.tx_offset_;
  EXPECT_EQ(zorvsock_udp_send(f.h, payload.data(), 1472, &id), -11);  // the card reads nothing
  EXPECT_EQ(f.udp.tx_pio_.tx_offset_, at);
  EXPECT_EQ(f.udp.ts_log_.next_id_, 2u);
  f.card_catch_up();
  EXPECT_EQ(zorvsock_udp_send_ready(f.h), 1);
  EXPECT_EQ(zorvsock_udp_send(f.h, payload.data(), 1472, &id), 0);
  EXPECT_EQ(id, 2u);
}

TEST(UdpSend, WithoutDestinationTheLastSenderIsAdopted) {
  fake_udp f;
  uint8_t byte = 1;
  EXPECT_EQ(zorvsock_udp_send(f.h, &byte, 1, nullptr), -107) << "nobody to answer";
  // The last sender is the subnet's broadcast address: it resolves without a lookup.
  f.deliver({1, 2, 3}, ip(10, 0, 0, 255), 6000, OWN_IP, 4000, 0);
  const void* data;
  ASSERT_EQ(zorvsock_udp_zc_receive(f.h, &data, nullptr), 3);
  const int at = f.udp.tx_pio_.tx_offset_;
  EXPECT_EQ(zorvsock_udp_send(f.h, &byte, 1, nullptr), -107) << "adopts, does not send";
  EXPECT_EQ(f.udp.tx_pio_.tx_offset_, at);
  EXPECT_EQ(f.udp.dst_ip_, ip(10, 0, 0, 255));
  EXPECT_EQ(zorvsock_udp_send(f.h, &byte, 1, nullptr), 0);
  vyx::udp_tx_desc d;
  _mm_sfence();
  memcpy(&d, f.window.p + at, 32);
  EXPECT_EQ(d.dst_ip, ip(10, 0, 0, 255));
  EXPECT_EQ(d.dst_port, 6000);
  EXPECT_EQ(f.udp.dst_port_, 6000);
}

// The descriptor of the datagram a send writes at the window's current offset.
vyx::udp_tx_desc sent_descriptor(fake_udp& f, int len) {
  const int at = f.udp.tx_pio_.tx_offset_;
  std::vector<uint8_t> payload(size_t(len), 0x5A);
  EXPECT_EQ(zorvsock_udp_send(f.h, payload.data(), len, nullptr), 0);
  _mm_sfence();
  vyx::udp_tx_desc d;
  const std::vector<uint8_t> bytes = f.window_bytes(at, 32);
  memcpy(&d, bytes.data(), 32);
  f.card_catch_up();
  return d;
}

// A retarget from a unicast to a multicast destination, or back, brings the TTL option
// of the new kind; within one kind the TTL stays.
TEST(UdpRetarget, TtlFollowsTheKindOfTheNewDestination) {
  fake_udp f;
  const uint8_t ttl = 9, mttl = 33;
  ASSERT_EQ(zorvsock_set_opt(f.h, ZORVSOCK_OPT_TTL, &ttl, 1), 0);
  ASSERT_EQ(zorvsock_set_opt(f.h, ZORVSOCK_OPT_MULTICAST_TTL, &mttl, 1), 0);
  struct row {
    uint32_t dst;
    uint8_t ttl;
  };
  const row rows[] = {
      {ip(10, 0, 0, 255), 9},  {ip(239, 1, 2, 3), 33},   {ip(239, 1, 2, 4), 33},
      {ip(10, 0, 0, 255), 9},  {ip(224, 0, 0, 251), 33}, {ip(255, 255, 255, 255), 9},
  };
  for (const row& r : rows) {
    ASSERT_EQ(zorvsock_udp_configure(f.h, "kvel0", 0, r.dst, 5000), 0) << std::hex << r.dst;
    const vyx::udp_tx_desc d = sent_descriptor(f, 10);
    EXPECT_EQ(d.dst_ip, r.dst);
    EXPECT_EQ(d.ttl, r.ttl) << std::hex << r.dst;
  }
  // Within one kind the TTL stays as the option or set-up left it.
  f.udp.tx_desc_.ttl = 50;
  ASSERT_EQ(zorvsock_udp_configure(f.h, "kvel0", 0, ip(10, 0, 0, 255), 5001), 0);
  EXPECT_EQ(sent_descriptor(f, 10).ttl, 50);
}

// A destination that does not resolve leaves nothing to send to: every send fails
// with -89 and writes nothing until a configure or retarget resolves one. A retarget
// to no destination answers the last sender again.
TEST(UdpRetarget, UnresolvedDestinationSendsNothingUntilOneResolves) {
  fake_udp f;
  struct row {
    uint32_t dst;
    int configured;  // the retarget's result
    int sent;        // then every send's
  };
  const row rows[] = {
      {ip(10, 0, 0, 255), 0, 0},
      {ip(192, 168, 5, 5), -113, -89},  // no route
      {ip(10, 0, 1, 255), -113, -89},   // another subnet's broadcast, no route either
      {ip(239, 1, 2, 3), 0, 0},
      {ip(192, 168, 5, 5), -113, -89},
      {0, 0, -107},  // no destination, nobody to answer yet
      {ip(192, 168, 5, 5), -113, -89},
      {ip(255, 255, 255, 255), 0, 0},
  };
  const uint8_t byte = 1;
  for (const row& r : rows) {
    ASSERT_EQ(zorvsock_udp_configure(f.h, "kvel0", 0, r.dst, 5000), r.configured)
        << std::hex << r.dst;
    for (int i = 0; i < 2; ++i) {
      const int at = f.udp.tx_pio_.tx_offset_;
      EXPECT_EQ(zorvsock_udp_send(f.h, &byte, 1, nullptr), r.sent) << std::hex << r.dst;
      if (r.sent != 0) {
        EXPECT_EQ(f.udp.tx_pio_.tx_offset_, at) << "nothing written";
      }
      f.card_catch_up();
    }
  }
  // The first configure of a session is no different: set_rx_filter marks the
  // destination unresolved before it resolves it, so a refused filter sends nothing too.
  testing::internal::CaptureStdout();
  EXPECT_EQ(f.udp.set_rx_filter(4000, ip(10, 0, 0, 2), 5000, 0, 0), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(zorvsock_udp_send(f.h, &byte, 1, nullptr), -89);
}

// A session answering the last sender whose sender does not resolve: the adopting send
// reports it, and later sends fail rather than go to the MAC of the destination before.
TEST(UdpRetarget, UnresolvedLastSenderSendsNothing) {
  fake_udp f;
  f.deliver({1, 2, 3}, ip(192, 168, 5, 5), 6000, OWN_IP, 4000, 0);
  const void* data;
  ASSERT_EQ(zorvsock_udp_zc_receive(f.h, &data, nullptr), 3);
  const uint8_t byte = 1;
  const int at = f.udp.tx_pio_.tx_offset_;
  EXPECT_EQ(zorvsock_udp_send(f.h, &byte, 1, nullptr), -113);
  EXPECT_EQ(zorvsock_udp_send(f.h, &byte, 1, nullptr), -89);
  EXPECT_EQ(f.udp.tx_pio_.tx_offset_, at);
  ASSERT_EQ(zorvsock_udp_configure(f.h, "kvel0", 0, ip(10, 0, 0, 255), 6000), 0);
  EXPECT_EQ(zorvsock_udp_send(f.h, &byte, 1, nullptr), 0);
}

// ---- receive ----

TEST(UdpReceive, EmptyRingWritesOnlyTheTime) {
  fake_udp f;
  f.h->rx_adj_ns = 38;
  const void* data = &f;
  uint64_t t = 5;
  uint32_t sip = 9, dip = 9;
  uint16_t sport = 9, dport = 9;
  EXPECT_EQ(zorvsock_udp_zc_receive(f.h, &data, &t), -11);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(t, uint64_t(-38)) << "0 minus the RX adjustment";
  data = &f;
  EXPECT_EQ(zorvsock_udp_zc_receivefrom_full(f.h, &data, nullptr, &sip, &sport, &dip, &dport), -11);
  EXPECT_EQ(data, &f);
  EXPECT_EQ(sip + dip + sport + dport, 36u) << "untouched";
  EXPECT_EQ(zorvsock_udp_zc_receive_done(f.h), -22) << "nothing to free";
}

TEST(UdpReceive, DatagramStaysUntilDoneAndCarriesItsAddresses) {
  fake_udp f;
  f.h->rx_adj_ns = -2;
  const uint64_t card_time = uint64_t(1700000000) << 32 | 123456789;
  f.deliver({'a', 'b', 'c', 'd'}, ip(198, 18, 0, 2), 6000, ip(239, 1, 2, 3), 4000, card_time);
  f.deliver({'e'}, ip(198, 18, 0, 3), 6001, OWN_IP, 4000, card_time + 1);
  const void* data = nullptr;
  uint64_t t = 0;
  uint32_t sip = 0, dip = 0;
  uint16_t sport = 0, dport = 0;
  ASSERT_EQ(zorvsock_udp_zc_receivefrom_full(f.h, &data, &t, &sip, &sport, &dip, &dport), 4);
  EXPECT_EQ(memcmp(data, "abcd", 4), 0);
  EXPECT_EQ(data, f.ring.p + HDR_LEN) << "in place, no copy";
  EXPECT_EQ(t, 1700000000ull * 1000000000 + 123456789 + 2);
  EXPECT_EQ(sip, ip(198, 18, 0, 2));
  EXPECT_EQ(sport, 6000);
  EXPECT_EQ(dip, ip(239, 1, 2, 3));
  EXPECT_EQ(dport, 4000);
  const void* again = nullptr;
  EXPECT_EQ(zorvsock_udp_zc_receive(f.h, &again, nullptr), 4);
  EXPECT_EQ(again, data);
  uint32_t last_ip = 0;
  int len4 = 4;
  EXPECT_EQ(zorvsock_get_opt(f.h, ZORVSOCK_OPT_UDP_LAST_SRC_IP, &last_ip, &len4), 0);
  EXPECT_EQ(last_ip, ip(198, 18, 0, 2));
  EXPECT_EQ(zorvsock_udp_zc_receive_done(f.h), 0);
  EXPECT_EQ(zorvsock_udp_zc_receive_done(f.h), -22) << "a second done would drop the next one";
  ASSERT_EQ(zorvsock_udp_zc_receivefrom(f.h, &data, nullptr, &sip, &sport), 1);
  EXPECT_EQ(*static_cast<const char*>(data), 'e');
  EXPECT_EQ(sip, ip(198, 18, 0, 3));
  EXPECT_EQ(sport, 6001);
  EXPECT_EQ(zorvsock_udp_zc_receive_done(f.h), 0);
  EXPECT_EQ(zorvsock_udp_zc_receive(f.h, &data, nullptr), -11);
}

TEST(UdpReceive, ManyLapsInOrderAndIntact) {
  fake_udp f;
  const int count = 20000;  // a 128 KiB ring holds about 500 small datagrams per lap
  int laps = 0;
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> payload(size_t(1 + (i * 37) % 1472));
    for (size_t k = 0; k < payload.size(); ++k) payload[k] = uint8_t(i + k);
    const int before = f.card_line;
    f.deliver(payload, ip(198, 18, 0, 2), uint16_t(i), OWN_IP, 4000, uint64_t(i));
    if (f.card_line < before) ++laps;
    const void* data = nullptr;
    uint32_t sip = 0;
    uint16_t sport = 0;
    uint64_t t = 0;
    ASSERT_EQ(zorvsock_udp_zc_receivefrom(f.h, &data, &t, &sip, &sport), int(payload.size())) << i;
    ASSERT_EQ(sport, uint16_t(i));
    ASSERT_EQ(t, uint64_t(i));
    ASSERT_EQ(memcmp(data, payload.data(), payload.size()), 0) << i;
    ASSERT_EQ(zorvsock_udp_zc_receive_done(f.h), 0);
  }
  EXPECT_GT(laps, 10);
}

// ---- bad input ----

TEST(UdpApi, FreshHandleRefusesTheDataPath) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  const void* data = nullptr;
  uint8_t byte = 0;
  EXPECT_EQ(zorvsock_udp_send(h, &byte, 1, nullptr), -107);
  EXPECT_EQ(zorvsock_udp_send_ready(h), -107);
  EXPECT_EQ(zorvsock_udp_zc_receive(h, &data, nullptr), -107);
  EXPECT_EQ(zorvsock_udp_zc_receivefrom(h, &data, nullptr, nullptr, nullptr), -107);
  EXPECT_EQ(zorvsock_udp_zc_receivefrom_full(h, &data, nullptr, nullptr, nullptr, nullptr, nullptr),
            -107);
  EXPECT_EQ(zorvsock_udp_zc_receive_done(h), -107);
  EXPECT_EQ(h->kind, HANDLE_NONE);
  zorvsock_release_handle(h);
}

TEST(UdpApi, NullPointersAreRefused) {
  const void* data = nullptr;
  EXPECT_EQ(zorvsock_udp_configure(nullptr, "kvel0", 0, 0, 0), -22);
  EXPECT_EQ(zorvsock_udp_configure_multicast(nullptr, "kvel0", 0, 0, 0, ip(239, 1, 1, 1)), -22);
  EXPECT_EQ(zorvsock_udp_configure_rx_multicast_mask(nullptr, "kvel0", ip(239, 1, 0, 0), 0), -22);
  EXPECT_EQ(zorvsock_disable_multicast(nullptr), -22);
  EXPECT_EQ(zorvsock_udp_send(nullptr, "x", 1, nullptr), -22);
  EXPECT_EQ(zorvsock_udp_send_ready(nullptr), -22);
  EXPECT_EQ(zorvsock_udp_zc_receive(nullptr, &data, nullptr), -22);
  EXPECT_EQ(zorvsock_udp_zc_receivefrom(nullptr, &data, nullptr, nullptr, nullptr), -22);
  EXPECT_EQ(zorvsock_udp_zc_receive_done(nullptr), -22);
  fake_udp f;
  f.udp.dst_ip_ = ip(10, 0, 0, 2);
  f.udp.dst_port_ = 5000;
  EXPECT_EQ(zorvsock_udp_send(f.h, nullptr, 1, nullptr), -22);
  EXPECT_EQ(zorvsock_udp_send(f.h, "x", -1, nullptr), -22);
  EXPECT_EQ(zorvsock_udp_send(f.h, nullptr, 0, nullptr), 0) << "an empty datagram needs no data";
  EXPECT_EQ(zorvsock_udp_zc_receive(f.h, nullptr, nullptr), -22);
  EXPECT_EQ(zorvsock_udp_zc_receivefrom_full(f.h, nullptr, nullptr, nullptr, nullptr, nullptr,
                                             nullptr),
            -22);
}

TEST(UdpApi, UnknownInterfaceLeavesTheHandleFresh) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  for (const char* name : {"eth0", "", "kvel_zz_0", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(zorvsock_udp_configure(h, name, 4000, 0, 0), -1) << (name ? name : "NULL");
    EXPECT_EQ(zorvsock_udp_configure_multicast(h, name, 4000, 0, 0, ip(239, 1, 1, 1)), -22);
    EXPECT_EQ(zorvsock_udp_configure_rx_multicast_mask(h, name, ip(239, 1, 0, 0),
                                                       ip(255, 255, 0, 0)),
              -22);
    EXPECT_EQ(h->kind, HANDLE_NONE);
  }
  EXPECT_EQ(h->reserve_fd, -1);
  EXPECT_EQ(h->mcast_fd, -1);
  zorvsock_release_handle(h);
}

TEST(UdpApi, RingSizeFromTheRxBufferOption) {
  struct row {
    int units;
    int bytes;
  };
  for (const row& r : {row{130, 266240}, row{129, 4194304}, row{2048, 4194304},
                       row{65536, 134217728}}) {
    zorvsock_handle* h = zorvsock_acquire_handle();
    ASSERT_EQ(zorvsock_set_opt(h, ZORVSOCK_OPT_RX_BUFFER, &r.units, 4), 0);
    EXPECT_EQ(zorvsock_udp_configure(h, "eth0", 4000, 0, 0), -1);
    EXPECT_EQ(h->udp.rx_ring_bytes_, r.bytes) << r.units;
    zorvsock_release_handle(h);
  }
}

TEST(UdpApi, ConfigureOnAnotherKindIsRefused) {
  for (int kind : {HANDLE_TCP, HANDLE_TCP_LISTEN, HANDLE_TCP_LISTENER}) {
    zorvsock_handle* h = zorvsock_acquire_handle();
    h->kind = kind;
    EXPECT_EQ(zorvsock_udp_configure(h, "kvel0", 4000, ip(10, 0, 0, 2), 5000), -106);
    EXPECT_EQ(zorvsock_udp_configure_multicast(h, "kvel0", 4000, 0, 0, ip(239, 1, 1, 1)), -106);
    EXPECT_EQ(zorvsock_udp_configure_rx_multicast_mask(h, "kvel0", ip(239, 1, 0, 0), 0), -106);
    EXPECT_EQ(h->kind, kind);
    EXPECT_EQ(h->udp.fd_, -1);
    zorvsock_release_handle(h);
  }
  fake_udp f;
  EXPECT_EQ(zorvsock_udp_configure_multicast(f.h, "kvel0", 4000, 0, 0, ip(239, 1, 1, 1)), -106);
  EXPECT_EQ(zorvsock_udp_configure_rx_multicast_mask(f.h, "kvel0", ip(239, 1, 0, 0), 0), -106);
}

TEST(UdpApi, DisableMulticastOnlyBeforeAMembership) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  EXPECT_EQ(zorvsock_disable_multicast(h), 0);
  EXPECT_EQ(h->mcast_fd, -2);
  EXPECT_EQ(zorvsock_disable_multicast(h), 0);
  EXPECT_EQ(h->mcast_fd, -2);
  zorvsock_release_handle(h);
}

// ---- status ----

TEST(UdpStatus, TextFromRegistersAndTxState) {
  fake_udp f;
  f.udp.reg_[0x118 / 8] = 7;
  f.udp.reg_[0x108 / 8] = 100;
  f.udp.reg_[0x110 / 8] = 200;
  f.udp.reg_[0x010 / 8] = 0x030021;  // round 3, rdptr 33
  f.udp.reg_[0x018 / 8] = 0x10005;   // non-empty, fill level 5
  *f.udp.tx_pio_.fdb_ = 0x00020011;
  f.udp.tx_pio_.tx_offset_ = 0x2140;
  std::string text;
  vyx::append_udp_status(text, f.udp);
  EXPECT_EQ(text,
            "UDP rx_dma_dropped 7\nUDP rx_dma_rdptr 100\nUDP rx_dma_wrptr 200\n"
            "UDP rx_dma_size 2048\n"
            "TX: fdb.round=2 fdb.rdptr 17\nTX: tx_offset=8512 wrptr(CL)=5, round=2\n"
            "TX: wstatus fillevel=5 nonempty=1\nTX: rstatus rdptr=33 round=3\n");
  f.udp.tx_pio_.fdb_ = nullptr;
  text.clear();
  vyx::append_udp_status(text, f.udp);
  EXPECT_EQ(text.find("TX: fdb"), std::string::npos) << "no feedback page, no feedback lines";
}

TEST(UdpStatus, ThreadPrintsOnceASecondAndStopsPromptly) {
  fake_udp f;
  testing::internal::CaptureStdout();
  f.udp.status_.start(&f.udp);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto t0 = std::chrono::steady_clock::now();
  f.udp.status_.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900))
      << "stop does not wait out the pause";
  const std::string out = testing::internal::GetCapturedStdout();
  size_t blocks = 0;
  for (size_t at = out.find("UDP rx_dma_dropped"); at != std::string::npos;
       at = out.find("UDP rx_dma_dropped", at + 1))
    ++blocks;
  EXPECT_EQ(blocks, 1u) << out;
  f.udp.status_.stop();  // a second stop, and release after it, are harmless
}

}  // namespace
