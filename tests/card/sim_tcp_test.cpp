// The simulator's TCP offload, driven by hand through the device-access layer against
// the peer's kernel: a handshake made from descriptors, data both ways, the software
// flag before and after the acknowledgement offload, the acknowledgement block, the
// ACK doorbell, the reset on release, listener queues, and frames of other
// connections going up the host interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <map>
#include <string>
#include <vector>

#include "tcp_session_fixture.h"

namespace {

using zt::port_ip;
using zt::TCP_ACK;
using zt::tcp_card_session;
using zt::TCP_PSH;
using zt::tcp_slot;
using zt::TCP_SYN;

constexpr uint16_t PEER_PORT = 5000;
constexpr uint32_t ISN = 1000;
// Each test's connection has its own local port: the peer may still hold the last one.
uint16_t next_local_port = 40000;

using zt::ipv4_addr;
using zt::segment_addr;
using zt::set_timeout;
using zt::tcp_frame;
using zt::tcp_listener;

std::string recv_text(int fd) {
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

uint32_t peer_unacked(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len);
  return info.tcpi_unacked;
}

class SimTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    listen_fd = tcp_listener(true, port_ip(0, 2), PEER_PORT);
    ASSERT_GE(listen_fd, 0);
    t.peer_mac = zt::iface_mac(listen_fd, "wire0");
    ASSERT_NE(t.peer_mac, 0u);
    ASSERT_EQ(t.allocate(0), 0);
    ASSERT_TRUE(t.start());
    local_port = next_local_port++;
    ASSERT_EQ(t.bind(port_ip(0, 2), local_port, PEER_PORT), 0);
    before = zt::sim_counters(0);
  }
  void TearDown() override {
    if (conn_fd >= 0) close(conn_fd);
    if (listen_fd >= 0) close(listen_fd);
  }

  // SYN with an MSS option, the peer's SYN-ACK from the ring, the ACK; the peer's
  // accepted socket.
  void handshake() {
    ASSERT_TRUE(t.send(TCP_SYN, ISN, 0, "", zt::mss_option(1460)));
    tcp_slot synack;
    ASSERT_TRUE(t.receive(&synack));
    EXPECT_EQ(synack.flags, TCP_SYN | TCP_ACK);
    EXPECT_NE(synack.software, 0);
    EXPECT_EQ(synack.ack, ISN + 1);
    EXPECT_EQ(synack.src_port, PEER_PORT);
    EXPECT_EQ(synack.dst_port, local_port);
    peer_seq = synack.seq + 1;
    snd = ISN + 1;
    ASSERT_TRUE(t.send(TCP_ACK, snd, peer_seq));
    conn_fd = accept(listen_fd, nullptr, nullptr);
    ASSERT_GE(conn_fd, 0) << strerror(errno);
    set_timeout(conn_fd);
  }
  void send_data(const std::string& data) {
    ASSERT_TRUE(t.send(TCP_ACK | TCP_PSH, snd, peer_seq, data));
    snd += uint32_t(data.size());
  }
  // The next segment with payload; pure ACKs before it carry the software flag.
  bool receive_data(tcp_slot* s, int ms = 3000) {
    while (t.receive(s, ms)) {
      if (!s->payload.empty() || (s->flags & zt::TCP_FIN)) return true;
      EXPECT_NE(s->software, 0);
    }
    return false;
  }
  // The peer's data, expected in order in the ring.
  void expect_peer_data(const std::string& data, bool software) {
    ASSERT_EQ(send(conn_fd, data.data(), data.size(), 0), ssize_t(data.size()));
    tcp_slot s;
    ASSERT_TRUE(receive_data(&s));
    EXPECT_EQ(s.payload, data);
    EXPECT_EQ(s.seq, peer_seq);
    EXPECT_EQ(s.software != 0, software);
    peer_seq += uint32_t(data.size());
  }

  // A port counter's growth since the test began.
  uint64_t grown(const std::string& name) { return zt::sim_counters(0)[name] - before[name]; }

  tcp_card_session t;
  uint16_t local_port = 0;
  std::map<std::string, uint64_t> before;
  int listen_fd = -1, conn_fd = -1;
  uint32_t peer_seq = 0, snd = 0;
};

TEST_F(SimTcp, RegisterPageIdentifiesTcpSession) {
  uint64_t id = t.s.get(0);
  EXPECT_EQ((id >> 24) & 0xff, uint64_t('U'));
  EXPECT_NE((id >> 9) & 0x7f, 0u);
  EXPECT_EQ(t.s.get(0x70), 16u);
  // A connection is bound once.
  EXPECT_EQ(t.bind(port_ip(0, 2), local_port, PEER_PORT), EBUSY);
}

TEST_F(SimTcp, HandshakeAndDataBothWays) {
  handshake();
  send_data("hello");
  EXPECT_EQ(recv_text(conn_fd), "hello");
  // Before the offload the software sees everything.
  expect_peer_data("world", true);
  t.offload_acks();
  ASSERT_TRUE(t.send(TCP_ACK, snd, peer_seq));
  // In-order data afterwards is the card's; the peer's ACKs of ours only update txack.
  expect_peer_data("again", false);
  send_data("more");
  EXPECT_EQ(recv_text(conn_fd), "more");
  EXPECT_TRUE(zt::wait_until([&] { return t.txack().ack == snd; })) << t.txack().ack;
  EXPECT_EQ(t.txack().flags, 0);
  EXPECT_GE(zt::sim_counters(0)["tcp0.rx_txack_only"], 1u);
  EXPECT_EQ(grown("tcp_rx_drop_checksum"), 0u);
}

TEST_F(SimTcp, SegmentsTheCardCannotHandleKeepTheSoftwareFlag) {
  handshake();
  t.offload_acks();
  // Data the card has seen already (the peer resends it when unacknowledged) and a
  // FIN go to the software; the FIN also raises its txack flag.
  expect_peer_data("dup", false);
  tcp_slot resent;
  ASSERT_TRUE(receive_data(&resent, 5000));
  EXPECT_EQ(resent.payload, "dup");
  EXPECT_NE(resent.software, 0);
  // Acknowledged, the peer's FIN no longer waits behind its resends.
  t.ring(peer_seq, 65535, 64);
  shutdown(conn_fd, SHUT_WR);
  tcp_slot fin;
  do ASSERT_TRUE(receive_data(&fin, 5000));
  while (!(fin.flags & zt::TCP_FIN));
  EXPECT_NE(fin.software, 0);
  EXPECT_EQ(t.txack().flags & 1, 1);
}

TEST_F(SimTcp, DoorbellSendsOneAckSeenByThePeer) {
  handshake();
  t.offload_acks();
  expect_peer_data("ring", false);
  EXPECT_EQ(peer_unacked(conn_fd), 1u);
  zt::peer_wire wire(0);
  t.ring(peer_seq, 65535, 33);
  EXPECT_TRUE(zt::wait_until([&] { return peer_unacked(conn_fd) == 0; }));
  EXPECT_EQ(wire.ttl_of_next(local_port, TCP_ACK), 33);
  EXPECT_EQ(zt::sim_counters(0)["tcp0.tx_doorbell_acks"], 1u);
  EXPECT_EQ(t.s.get(zt::TCP_REG_DOORBELL), 0u) << "the write went into the page, not to the card";
}

TEST_F(SimTcp, ReleaseOfAnArmedDescriptorResetsTheConnection) {
  handshake();
  ASSERT_TRUE(t.arm_reset(17));
  zt::peer_wire wire(0);
  t.s.close();
  EXPECT_EQ(wire.ttl_of_next(local_port, zt::TCP_RST | TCP_ACK), 17);
  char c;
  EXPECT_EQ(recv(conn_fd, &c, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
  zt::cmd_result ss = zt::peer_run("ss -Htn state all sport = :" + std::to_string(PEER_PORT));
  EXPECT_EQ(ss.out.find(":" + std::to_string(local_port)), std::string::npos) << ss.out;
  EXPECT_EQ(grown("tcp_tx_resets"), 1u);
}

TEST_F(SimTcp, ReleaseWithoutArmingSendsNothing) {
  handshake();
  t.s.close();
  EXPECT_EQ(grown("tcp_tx_resets"), 0u);
  zt::cmd_result ss =
      zt::peer_run("ss -Htn state established sport = :" + std::to_string(PEER_PORT));
  EXPECT_NE(ss.out.find(":" + std::to_string(local_port)), std::string::npos) << ss.out;
}

// A segment on a VLAN slot leaves tagged, from the slot's address; every segment has
// IPv4 id 0, DF, the descriptor's TTL and its options as written.
TEST(SimTcpFrame, SegmentOnAVlanSlotIsTaggedAndFromTheSlotAddress) {
  ZT_REQUIRE_LAUNCHED();
  constexpr int VLAN_REG = 16 + 2;  // slot 3
  constexpr uint32_t VLAN_IP = 0xC6120301;
  ASSERT_EQ(zt::sim_ctl("fiber-set 0 " + std::to_string(VLAN_REG) + " " +
                        std::to_string(100ull << 32 | VLAN_IP))
                .status,
            0);
  zt::peer_wire wire(0);
  tcp_card_session t;
  t.peer_mac = zt::iface_mac(wire.fd, "wire0");
  ASSERT_EQ(t.allocate(0), 0);
  ASSERT_TRUE(t.start());
  ASSERT_EQ(t.bind(port_ip(0, 2), 41000, PEER_PORT, 3), 0);
  zt::tcp_desc d{};
  d.remote_port = PEER_PORT;
  d.local_port = 41000;
  d.remote_ip = port_ip(0, 2);
  d.seq = ISN;
  d.tcp_flags = TCP_SYN;
  d.ttl = 7;
  d.slot_hdr = 3 << 4 | 6;
  kvel::u64_to_mac(t.peer_mac, d.next_hop_mac);
  std::string mss = zt::mss_option(1400);
  d.length = 4;
  ASSERT_EQ(t.s.tx.write(mss.data(), 4, &d, 1000), 0);
  std::string f;
  int vlan = 0;
  ASSERT_TRUE(wire.next_segment(41000, TCP_SYN, &f, &vlan));
  EXPECT_EQ(vlan, 100);
  auto at = [&](size_t i) { return uint8_t(f[i]); };
  EXPECT_EQ(at(18) << 8 | at(19), 0);       // id
  EXPECT_EQ(at(20) << 8 | at(21), 0x4000);  // DF
  EXPECT_EQ(at(22), 7);
  EXPECT_EQ(uint32_t(at(26)) << 24 | at(27) << 16 | at(28) << 8 | at(29), VLAN_IP);
  EXPECT_EQ(at(46) >> 4, 6);
  EXPECT_EQ(f.substr(54, 4), mss);
  zt::sim_ctl("fiber-set 0 " + std::to_string(VLAN_REG) + " 0");
}

// A segment of the bound connection whose TCP checksum is wrong never reaches the ring.
TEST_F(SimTcp, SegmentsWithBadChecksumsAreDropped) {
  handshake();
  zt::peer_wire wire(0);
  segment_addr a{zt::port_mac(0), t.peer_mac, port_ip(0, 2), port_ip(0, 1), PEER_PORT, local_port};
  std::vector<unsigned char> f = tcp_frame(a, peer_seq, 0, zt::TCP_RST, 0xdead);
  ASSERT_TRUE(wire.send_frame(f.data(), f.size()));
  EXPECT_TRUE(zt::wait_until([&] { return grown("tcp_rx_drop_checksum") == 1; }));
  tcp_slot s;
  EXPECT_FALSE(t.receive(&s, 200));
  // The connection lives on: the reset never reached the peer's side either.
  send_data("still");
  EXPECT_EQ(recv_text(conn_fd), "still");
}

// A FIN that the software sends through the host interface moves the card's snd_nxt:
// the doorbell's ACK that follows carries the sequence number after it.
TEST_F(SimTcp, ControlSegmentsFromTheHostMoveSndNxt) {
  handshake();
  t.offload_acks();
  int host = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  ASSERT_GE(host, 0);
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = int(if_nametoindex("kvel0"));
  to.sll_halen = 6;
  segment_addr a{t.peer_mac, zt::port_mac(0), port_ip(0, 1), port_ip(0, 2), local_port, PEER_PORT};
  std::vector<unsigned char> fin = tcp_frame(a, snd, peer_seq, zt::TCP_FIN | TCP_ACK);
  ASSERT_EQ(sendto(host, fin.data(), fin.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            ssize_t(fin.size()));
  close(host);
  EXPECT_EQ(recv_text(conn_fd), "");  // the peer saw the FIN
  zt::peer_wire wire(0);
  t.ring(peer_seq, 65535, 64);
  std::string f;
  int vlan;
  ASSERT_TRUE(wire.next_segment(local_port, TCP_ACK, &f, &vlan));
  uint32_t seq;
  memcpy(&seq, f.data() + 38, 4);
  EXPECT_EQ(ntohl(seq), snd + 1);
}

// A peer connect() to a registered listener: its SYN waits in the queue, counted on
// the status page, and a read() returns the whole frame; the resends are dropped.
TEST(SimTcpListen, QueuesTheSynOfAPeerConnect) {
  ZT_REQUIRE_LAUNCHED();
  constexpr uint16_t PORT = 6000;
  int fd = kvel::kvel_dev_open("/dev/zorvnic_0");
  ASSERT_GE(fd, 0);
  unsigned char arg[12] = {};
  uint32_t ip_be = htonl(port_ip(0, 1));
  uint16_t port_be = htons(PORT);
  memcpy(arg + 4, &ip_be, 4);
  memcpy(arg + 8, &port_be, 2);
  ASSERT_EQ(kvel::kvel_dev_ioctl(fd, kvel::KVEL_TCP_LISTEN, arg), 0);
  void* page = kvel::kvel_dev_mmap(fd, 4096, PROT_READ, kvel::KVEL_MMAP_LISTEN_STATUS);
  ASSERT_NE(page, MAP_FAILED);
  auto pending = [&] { return __atomic_load_n(static_cast<int*>(page), __ATOMIC_ACQUIRE); };

  int peer = zt::peer_socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK);
  sockaddr_in to = ipv4_addr(port_ip(0, 1), PORT);
  connect(peer, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ASSERT_TRUE(zt::wait_until([&] { return pending() == 1; }));
  // The peer resends its SYN after a second: the copy is dropped.
  EXPECT_TRUE(
      zt::wait_until([&] { return zt::sim_counters(0)["tcp_listen_duplicates"] > 0; }, 4000));
  EXPECT_EQ(pending(), 1);

  unsigned char frame[2048];
  ssize_t n = kvel::kvel_dev_read(fd, frame, sizeof frame);
  ASSERT_GE(n, 54);
  EXPECT_EQ(frame[12] << 8 | frame[13], 0x0800);
  const unsigned char* tcp = frame + 14 + 20;
  EXPECT_EQ(tcp[2] << 8 | tcp[3], PORT);
  EXPECT_EQ(tcp[13], TCP_SYN);
  EXPECT_EQ(pending(), 0);
  EXPECT_EQ(kvel::kvel_dev_read(fd, frame, sizeof frame), 0);
  close(peer);
  kvel::kvel_dev_unmap(page, 4096);
  kvel::kvel_dev_close(fd);
}

// While a session is bound and a listener registered, a connection of neither is the
// host kernel's: its SYN goes up the host interface and the handshake completes.
TEST_F(SimTcp, OtherConnectionsGoUpTheHostInterface) {
  constexpr uint16_t HOST_PORT = 7000;
  int host = tcp_listener(false, port_ip(0, 1), HOST_PORT);
  int peer = zt::peer_socket(AF_INET, SOCK_STREAM);
  sockaddr_in to = ipv4_addr(port_ip(0, 1), HOST_PORT);
  ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << strerror(errno);
  int accepted = accept(host, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  EXPECT_EQ(send(peer, "x", 1, 0), 1);
  set_timeout(accepted);
  EXPECT_EQ(recv_text(accepted), "x");
  EXPECT_EQ(zt::sim_counters(0)["tcp0.rx_delivered"], 0u);
  close(accepted);
  close(peer);
  close(host);
}

}  // namespace
