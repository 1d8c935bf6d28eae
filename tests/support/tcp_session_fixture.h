// Helpers for card tests of the simulator's TCP offload: a TCP session of device 0 set
// up by hand through the device-access layer (allocation, regions, binding), the TCP
// TX descriptor and the segments written with it, and the receive slots it yields.
// The session's ring and TX writer are those of the UDP fixture's card_session.
#pragma once
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tcp/tcp_pkt_if.h"
#include "udp_session_fixture.h"

namespace zt {

constexpr uint8_t TCP_FIN = 0x01, TCP_SYN = 0x02, TCP_RST = 0x04, TCP_PSH = 0x08, TCP_ACK = 0x10;
constexpr uint32_t TCP_TX_ENABLE = 0x11;
constexpr uint32_t TCP_ACK_OFFLOAD_BITS = 0x0C;
constexpr size_t TCP_REG_DOORBELL = 0x60;
constexpr size_t TCP_REG_ACK_OFFLOAD = 0x120;
constexpr size_t TCP_TXACK = 64;  // in the feedback page

// The card's 32-byte TCP TX descriptor, as the library writes it.
using tcp_desc = vyxtcp::tcp_tx_desc;

// {ack, window, duplicate count, flags} of the feedback page.
struct txack_block {
  uint32_t ack;
  uint16_t win;
  uint8_t dup_ack;
  uint8_t flags;
};

// A segment found in the ring: the TCP header fields, in host order, and its payload.
struct tcp_slot {
  uint16_t software = 0;
  uint16_t src_port = 0, dst_port = 0;
  uint32_t seq = 0, ack = 0;
  uint8_t flags = 0;
  uint16_t window = 0;
  std::string payload;
};

struct tcp_card_session {
  card_session s;
  uint32_t remote_ip = 0;
  uint16_t local_port = 0, remote_port = 0;
  uint64_t peer_mac = 0;

  // Descriptor and session: 0, or the errno of the refusal.
  int allocate(int port_index) {
    s.port = port_index;
    if (s.fd < 0) s.fd = kvel::kvel_dev_open("/dev/zorvnic_0");
    if (s.fd < 0) return errno;
    return kvel::kvel_dev_ioctl(s.fd, kvel::KVEL_ALLOC_TCP_SESSION, &port_index) == 0 ? 0 : errno;
  }
  // Register page, ring and TX window running, as the library starts a TCP session.
  bool start(int ring_bytes = 1 << 20) {
    void* page = kvel::kvel_dev_mmap(s.fd, 4096, PROT_READ | PROT_WRITE, kvel::KVEL_MMAP_REGS);
    if (page == MAP_FAILED) return false;
    s.reg = static_cast<volatile uint64_t*>(page);
    return s.rx.setup_rx_ring(ring_bytes) == 0 && s.tx.setup_tx_window(TCP_TX_ENABLE) == 0;
  }
  // KVEL_TCP_SESSION_SETUP: 0 or the errno of the refusal.
  int bind(uint32_t ip, uint16_t local, uint16_t remote, uint8_t vlan_slot = 0) {
    remote_ip = ip;
    local_port = local;
    remote_port = remote;
    unsigned char arg[44] = {};
    memcpy(arg + 4, &ip, 4);
    memcpy(arg + 8, &local, 2);
    memcpy(arg + 10, &remote, 2);
    arg[12] = vlan_slot;
    return kvel::kvel_dev_ioctl(s.fd, kvel::KVEL_TCP_SESSION_SETUP, arg) == 0 ? 0 : errno;
  }
  // The acknowledgement offload switched on, as the engine does once established.
  void offload_acks() {
    s.set(TCP_REG_ACK_OFFLOAD, 0x2000);
    s.control |= TCP_ACK_OFFLOAD_BITS;
    s.set(0x08, s.control);
  }
  // One write of the ACK doorbell: ack, window and TTL as the engine packs them.
  void ring(uint32_t ack, uint16_t window, uint8_t ttl) {
    kvel::mmio_write64(s.reg, TCP_REG_DOORBELL,
                       uint64_t(ack) | uint64_t(window) << 32 | uint64_t(ttl) << 50);
  }
  txack_block txack() const {
    auto* page = reinterpret_cast<const volatile uint8_t*>(s.tx.fdb_);
    uint64_t v = *reinterpret_cast<const volatile uint64_t*>(page + TCP_TXACK);
    txack_block b;
    memcpy(&b, &v, sizeof b);
    return b;
  }

  // Writes one segment: options then payload after the descriptor.
  bool send(uint8_t flags, uint32_t seq, uint32_t ack, const std::string& payload = "",
            const std::string& options = "") {
    tcp_desc d{};
    d.remote_port = remote_port;
    d.local_port = local_port;
    d.remote_ip = remote_ip;
    d.seq = seq;
    d.ack = ack;
    d.window = 65535;
    d.tcp_flags = flags;
    d.ttl = 64;
    d.slot_hdr = uint8_t(5 + options.size() / 4);
    kvel::u64_to_mac(peer_mac, d.next_hop_mac);
    std::string bytes = options + payload;
    d.length = uint16_t(bytes.size());
    return wait_until([&] { return s.tx.write(bytes.data(), int(bytes.size()), &d, 100) == 0; });
  }

  // The segment at the ring's read position, waited for up to ms, then freed.
  bool receive(tcp_slot* t, int ms = 3000) {
    const uint8_t* p = s.rx.current_slot();
    if (!wait_until([&] { return kvel::rx_dma_ring::slot_length(p) != 0; }, ms)) return false;
    int len = kvel::rx_dma_ring::slot_length(p);
    memcpy(&t->software, p + 14, 2);
    const uint8_t* h = p + s.rx.hdr_len_;
    t->src_port = uint16_t(h[0] << 8 | h[1]);
    t->dst_port = uint16_t(h[2] << 8 | h[3]);
    uint32_t be;
    memcpy(&be, h + 4, 4);
    t->seq = ntohl(be);
    memcpy(&be, h + 8, 4);
    t->ack = ntohl(be);
    t->flags = h[13];
    t->window = uint16_t(h[14] << 8 | h[15]);
    int hdr = (h[12] >> 4) * 4;
    t->payload.assign(reinterpret_cast<const char*>(h + hdr), size_t(len - hdr));
    s.rx.release_slot();
    return true;
  }
  // KVEL_TCP_TRIGGER_RST_ON_RELEASE and KVEL_TCP_TTL_RST_ON_RELEASE.
  bool arm_reset(uint8_t ttl) {
    int on = 1;
    return kvel::kvel_dev_ioctl(s.fd, kvel::KVEL_TCP_TRIGGER_RST_ON_RELEASE, &on) == 0 &&
           kvel::kvel_dev_ioctl(s.fd, kvel::KVEL_TCP_TTL_RST_ON_RELEASE, &ttl) == 0;
  }
};

// A packet socket on the peer's wire<k>: what the card sends there, and frames made by
// hand sent from there.
struct peer_wire {
  int fd = -1;
  int ifindex = -1;

  explicit peer_wire(int k) : fd(peer_socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL))) {
    std::string name = "wire" + std::to_string(k);
    ifindex = iface_index(fd, name.c_str());
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_ALL);
    a.sll_ifindex = ifindex;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    timeval tv{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int on = 1;
    setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on);
  }
  ~peer_wire() { ::close(fd); }
  peer_wire(const peer_wire&) = delete;
  peer_wire& operator=(const peer_wire&) = delete;

  // The next TCP segment arriving from src_port whose TCP flags equal flags, waited
  // for up to ms: the frame as the kernel gives it (VLAN tag taken off) and the VLAN id
  // of its tag (-1 untagged); false when none came.
  bool next_segment(uint16_t src_port, uint8_t flags, std::string* frame, int* vlan,
                    int ms = 3000) const {
    return wait_until(
        [&] {
          uint8_t f[2048];
          const ssize_t n = recv_frame_vlan(fd, f, sizeof f, vlan);
          if (n < 54 || f[12] != 0x08 || f[13] != 0 || f[23] != IPPROTO_TCP) return false;
          const uint8_t* tcp = f + 14 + (f[14] & 0xf) * 4;
          if ((tcp[0] << 8 | tcp[1]) != src_port || tcp[13] != flags) return false;
          frame->assign(reinterpret_cast<const char*>(f), size_t(n));
          return true;
        },
        ms);
  }
  // The IPv4 TTL of the next such segment; -1 when none came.
  int ttl_of_next(uint16_t src_port, uint8_t flags, int ms = 3000) const {
    std::string f;
    int vlan;
    return next_segment(src_port, flags, &f, &vlan, ms) ? uint8_t(f[22]) : -1;
  }
  bool send_frame(const unsigned char* frame, size_t len) const {
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_ifindex = ifindex;
    a.sll_halen = 6;
    memcpy(a.sll_addr, frame, 6);
    return sendto(fd, frame, len, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == ssize_t(len);
  }
};

// The MSS option of a SYN.
inline std::string mss_option(uint16_t mss) {
  return std::string{char(2), char(4), char(mss >> 8), char(mss & 0xff)};
}

// A receive timeout of 3 s on the socket.
inline void set_timeout(int fd) {
  timeval tv{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A TCP socket of the peer (peer set) or of the host, listening on ip:port, with a
// receive timeout of 3 s; -1 when it cannot listen there.
inline int tcp_listener(bool peer, uint32_t ip, uint16_t port) {
  int fd =
      peer ? peer_socket(AF_INET, SOCK_STREAM) : socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = ipv4_addr(ip, port);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  set_timeout(fd);
  return fd;
}

// One's-complement sum of n bytes as big-endian words, added to sum.
inline uint32_t sum16(uint32_t sum, const unsigned char* p, size_t n) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(p[i] << 8 | p[i + 1]);
  return sum;
}
inline uint16_t fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return uint16_t(~sum);
}

struct segment_addr {
  uint64_t dst_mac, src_mac;
  uint32_t src_ip, dst_ip;
  uint16_t src_port, dst_port;
};

// A 54-byte frame of a TCP segment without payload, window 65535; its TCP checksum is
// right unless tcp_sum is given.
inline std::vector<unsigned char> tcp_frame(const segment_addr& a, uint32_t seq, uint32_t ack,
                                            uint8_t flags, int tcp_sum = -1) {
  std::vector<unsigned char> f(54);
  kvel::u64_to_mac(a.dst_mac, f.data());
  kvel::u64_to_mac(a.src_mac, f.data() + 6);
  f[12] = 0x08;
  unsigned char* ip = f.data() + 14;
  ip[0] = 0x45;
  ip[3] = 40;
  ip[8] = 64;
  ip[9] = IPPROTO_TCP;
  auto put32 = [](unsigned char* p, uint32_t v) {
    uint32_t be = htonl(v);
    memcpy(p, &be, 4);
  };
  auto put16 = [](unsigned char* p, uint16_t v) {
    uint16_t be = htons(v);
    memcpy(p, &be, 2);
  };
  put32(ip + 12, a.src_ip);
  put32(ip + 16, a.dst_ip);
  put16(ip + 10, fold(sum16(0, ip, 20)));
  unsigned char* tcp = ip + 20;
  put16(tcp, a.src_port);
  put16(tcp + 2, a.dst_port);
  put32(tcp + 4, seq);
  put32(tcp + 8, ack);
  tcp[12] = 0x50;
  tcp[13] = flags;
  put16(tcp + 14, 65535);
  uint32_t pseudo = sum16(IPPROTO_TCP + 20, ip + 12, 8);
  put16(tcp + 16, tcp_sum >= 0 ? uint16_t(tcp_sum) : fold(sum16(pseudo, tcp, 20)));
  return f;
}

}  // namespace zt
