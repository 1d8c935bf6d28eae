// Helpers for card tests of the simulator's UDP datapath: a UDP session driven by hand
// through the device-access layer (allocation, filter, regions, the library's ring and
// TX writer for the set-up handshakes), the UDP TX descriptor, sockets made in the
// peer's namespace, and the simulator's counters.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "rx_dma_ring.h"
#include "test_support.h"
#include "text_util.h"
#include "tx_pio.h"

namespace zt {

inline sockaddr_in ipv4_addr(uint32_t ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(ip);
  return a;
}

// One frame from a packet socket with PACKET_AUXDATA on: its length (-1 when the
// receive failed) and, in *vlan, the VLAN id of the tag the kernel took off (-1 untagged).
inline ssize_t recv_frame_vlan(int fd, uint8_t* buf, size_t cap, int* vlan) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
  iovec iov{buf, cap};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd, &msg, 0);
  *vlan = -1;
  if (n < 0) return n;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA) continue;
    tpacket_auxdata aux;
    memcpy(&aux, CMSG_DATA(c), sizeof aux);
    if (aux.tp_status & TP_STATUS_VLAN_VALID) *vlan = aux.tp_vlan_tci & 0xfff;
  }
  return n;
}

// 198.18.<k>.<host>: the host side of port k is .1, the peer .2.
constexpr uint32_t port_ip(int k, int host) {
  return 0xC6120000u | uint32_t(k) << 8 | uint32_t(host);
}
// The simulator's default MAC of port k on device 0.
constexpr uint64_t port_mac(int k) { return 0x025A00000000ull | uint64_t(k); }

// The card's 32-byte UDP TX descriptor.
struct udp_desc {
  uint16_t length = 0;
  uint16_t flags = 0;  // bit 15: log the send time
  uint16_t dst_port = 0;
  uint16_t src_port = 0;
  uint32_t dst_ip = 0;
  uint32_t src_ip = 0;
  uint8_t dst_mac[6] = {};
  uint8_t src_mac[6] = {};
  uint8_t reserved0 = 0;
  uint8_t ttl = 64;
  uint8_t vlan_slot = 0;
  uint8_t reserved1 = 0;
};
static_assert(sizeof(udp_desc) == 32);

// The KVEL_UDP_RX_FILTER argument.
struct udp_filter_arg {
  uint32_t zero0 = 0;
  uint32_t match = 0;
  uint16_t port = 0;
  uint16_t zero1 = 0;
  uint32_t zero2 = 0;
  uint8_t vlan_slot = 0;
  uint8_t zero3[3] = {};
  uint32_t mask = 0xffffffff;
};
static_assert(sizeof(udp_filter_arg) == 24);

// The UDP fields of a receive slot.
struct udp_slot {
  int len = 0;
  uint64_t time = 0;
  uint32_t src_ip = 0, dst_ip = 0;
  uint16_t src_port = 0, dst_port = 0;
  const uint8_t* payload = nullptr;
};

// A UDP session of device 0, set up by hand the way the library sets one up. The ring
// and TX state point at this object's fields: it stays where it was made.
struct card_session {
  int fd = -1;
  volatile uint64_t* reg = nullptr;
  uint32_t control = 0;
  kvel::rx_dma_ring rx{};
  kvel::tx_pio tx{};
  int port = 0;

  card_session() { rx.owner_ = tx.owner_ = {&fd, &reg, &control}; }
  card_session(const card_session&) = delete;
  card_session& operator=(const card_session&) = delete;
  ~card_session() { close(); }

  // Descriptor and session: 0, or the errno of the refusal.
  int allocate(int port_index) {
    port = port_index;
    if (fd < 0) fd = kvel::kvel_dev_open("/dev/zorvnic_0");
    if (fd < 0) return errno;
    return kvel::kvel_dev_ioctl(fd, kvel::KVEL_ALLOC_UDP_SESSION, &port_index) == 0 ? 0 : errno;
  }
  // Register page, ring of ring_bytes and TX window, both running.
  bool start(int ring_bytes = 1 << 20) {
    void* page = kvel::kvel_dev_mmap(fd, 4096, PROT_READ | PROT_WRITE, kvel::KVEL_MMAP_REGS);
    if (page == MAP_FAILED) return false;
    reg = static_cast<volatile uint64_t*>(page);
    return rx.setup_rx_ring(ring_bytes) == 0 && tx.setup_tx_window(1) == 0;
  }
  bool open(int port_index, int ring_bytes = 1 << 20) {
    return allocate(port_index) == 0 && start(ring_bytes);
  }
  // 0 or the errno of the refusal.
  int filter(uint32_t match, uint16_t dst_port, uint32_t mask = 0xffffffff, uint8_t slot = 0) {
    udp_filter_arg f;
    f.match = match;
    f.port = dst_port;
    f.mask = mask;
    f.vlan_slot = slot;
    return kvel::kvel_dev_ioctl(fd, kvel::KVEL_UDP_RX_FILTER, &f) == 0 ? 0 : errno;
  }
  uint64_t get(size_t offset) const { return reg[offset / 8]; }
  void set(size_t offset, uint64_t v) { reg[offset / 8] = v; }
  uint32_t feedback() const { return *tx.fdb_; }

  // A descriptor from this session's port to the peer.
  udp_desc to_peer(uint16_t dst_port, uint16_t src_port, uint64_t peer_mac) const {
    udp_desc d;
    d.dst_port = dst_port;
    d.src_port = src_port;
    d.dst_ip = port_ip(port, 2);
    d.src_ip = port_ip(port, 1);
    kvel::u64_to_mac(peer_mac, d.dst_mac);
    kvel::u64_to_mac(port_mac(port), d.src_mac);
    return d;
  }
  // Writes one send, waiting for room as long as the card takes its time.
  bool send(const void* data, int len, udp_desc d) {
    d.length = uint16_t(len);
    return wait_until([&] { return tx.write(data, len, &d, 100) == 0; });
  }
  // The datagram at the ring's read position, waited for up to ms.
  bool receive(udp_slot* s, int ms = 3000) {
    const uint8_t* p = rx.current_slot();
    if (!wait_until([&] { return kvel::rx_dma_ring::slot_length(p) != 0; }, ms)) return false;
    s->len = kvel::rx_dma_ring::slot_length(p);
    memcpy(&s->time, p + 2, 8);
    memcpy(&s->src_ip, p + 10, 4);
    memcpy(&s->src_port, p + 14, 2);
    memcpy(&s->dst_ip, p + 16, 4);
    memcpy(&s->dst_port, p + 20, 2);
    s->payload = p + rx.hdr_len_;
    return true;
  }
  void close() {
    tx.unmap();
    rx.unmap();
    kvel::kvel_dev_unmap(reg, 4096);
    reg = nullptr;
    kvel::kvel_dev_close_if_open(fd);
  }
};

// A socket in the peer's network namespace, made by a helper thread that joins it; the
// socket stays in that namespace whichever thread uses it.
inline int peer_socket(int domain, int type, int protocol = 0) {
  int fd = -1;
  std::thread([&] {
    int ns = open(getenv("ZORV_PEER_NETNS"), O_RDONLY | O_CLOEXEC);
    if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0) fd = socket(domain, type | SOCK_CLOEXEC, protocol);
    if (ns >= 0) ::close(ns);
  }).join();
  return fd;
}

// Index and MAC of an interface in the namespace of the socket fd.
inline int iface_index(int fd, const char* name) {
  ifreq ifr{};
  strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
  return ioctl(fd, SIOCGIFINDEX, &ifr) == 0 ? ifr.ifr_ifindex : -1;
}
inline uint64_t iface_mac(int fd, const char* name) {
  ifreq ifr{};
  strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
  if (ioctl(fd, SIOCGIFHWADDR, &ifr) != 0) return 0;
  uint64_t mac = 0;
  for (int i = 0; i < 6; ++i) mac = mac << 8 | uint8_t(ifr.ifr_hwaddr.sa_data[i]);
  return mac;
}

// Every "name value" line of "counters <k>".
inline std::map<std::string, uint64_t> sim_counters(int k) {
  std::map<std::string, uint64_t> values;
  std::istringstream lines(sim_ctl("counters " + std::to_string(k)).out);
  std::string name;
  for (std::string value; lines >> name >> value;)
    values[name] = strtoull(value.c_str(), nullptr, 0);
  return values;
}

}  // namespace zt
