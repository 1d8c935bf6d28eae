// The peer's side of the TCP card tests: the segments on its wire, recorded as they
// pass; segments made by hand and sent from there; its kernel's TCP sockets; and the
// peer's firewall, which can make it deaf to chosen segments.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tcp/tcp_frame.h"
#include "tcp/tcp_segment.h"
#include "tcp_api_fixture.h"
#include "tcp_session_fixture.h"

namespace zt {

// A TCP segment seen on the peer's wire, fields in host order.
struct wire_segment {
  double t = 0;  // seconds since the recorder started
  uint32_t src_ip = 0, dst_ip = 0;
  vyxtcp::tcp_segment seg;  // payload pointer cleared: the frame is gone
  uint8_t option_bytes = 0;
  uint32_t payload_len() const { return seg.payload_len; }
};

// Records every IPv4 TCP segment to or from `port` on the peer's wire<k>, both
// directions, from construction to stop().
class wire_recorder {
 public:
  explicit wire_recorder(uint16_t port, int k = 0) : port_(port), wire_(k) {
    thread_ = std::thread([this] { run(); });
  }
  ~wire_recorder() { stop(); }
  wire_recorder(const wire_recorder&) = delete;
  wire_recorder& operator=(const wire_recorder&) = delete;

  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<wire_segment> segments() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return segments_;
  }
  // The segments that satisfy pred, in wire order.
  std::vector<wire_segment> matching(const std::function<bool(const wire_segment&)>& pred) const {
    std::vector<wire_segment> out;
    for (const wire_segment& s : segments())
      if (pred(s)) out.push_back(s);
    return out;
  }
  // Waits up to ms for a segment that satisfies pred; false when none came.
  bool wait_for(const std::function<bool(const wire_segment&)>& pred, wire_segment* out,
                int ms = 3000) const {
    return wait_until(
        [&] {
          const std::vector<wire_segment> m = matching(pred);
          if (m.empty()) return false;
          if (out) *out = m.front();
          return true;
        },
        ms);
  }

 private:
  void run() {
    const auto start = std::chrono::steady_clock::now();
    while (running_) {
      uint8_t f[2048];
      int vlan;
      const ssize_t n = recv_frame_vlan(wire_.fd, f, sizeof f, &vlan);
      wire_segment s;
      if (n < 54 || !parse(f, size_t(n), &s)) continue;
      if (s.seg.src_port != port_ && s.seg.dst_port != port_) continue;
      s.t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::lock_guard<std::mutex> hold(mutex_);
      segments_.push_back(s);
    }
  }
  static bool parse(const uint8_t* f, size_t n, wire_segment* s) {
    if (f[12] != 0x08 || f[13] != 0 || f[23] != IPPROTO_TCP) return false;
    const size_t ihl = size_t(f[14] & 0xf) * 4;
    const size_t total = size_t(f[16] << 8 | f[17]);
    if (total < ihl || 14 + total > n) return false;
    s->src_ip = vyxtcp::tcp_be32(f + 26);
    s->dst_ip = vyxtcp::tcp_be32(f + 30);
    if (!vyxtcp::tcp_parse_segment(f + 14 + ihl, total - ihl, &s->seg)) return false;
    s->seg.payload = nullptr;
    s->option_bytes = uint8_t(s->seg.data_offset * 4 - vyxtcp::TCP_BASE_HDR_BYTES);
    return true;
  }

  uint16_t port_;
  peer_wire wire_;
  std::atomic<bool> running_{true};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<wire_segment> segments_;
};

// Segments from the given TCP port with exactly these flags.
inline std::function<bool(const wire_segment&)> from_port(uint16_t port, uint8_t flags) {
  return [=](const wire_segment& s) { return s.seg.src_port == port && s.seg.flags == flags; };
}
// Segments from the given TCP port that carry this flag, whatever else they carry.
inline std::function<bool(const wire_segment&)> with_flag(uint16_t port, uint8_t flag) {
  return [=](const wire_segment& s) { return s.seg.src_port == port && s.seg.has(flag); };
}

// A segment the peer makes by hand (source 198.18.0.2:sport) toward the card's port 0
// (198.18.0.1:dport), options and payload after the 20-byte header, sent from the
// peer's wire0 with valid checksums. A data_offset of -1 is the header's true length;
// any other value is written as it is and the checksum made over the bytes as they are.
struct crafted_segment {
  uint16_t sport = 0, dport = 0;
  uint32_t seq = 0, ack = 0;
  uint8_t flags = 0;
  uint16_t window = 65535;
  std::string options;  // a multiple of 4 bytes
  std::string payload;
  int data_offset = -1;
};

// Sends crafted segments from the peer's wire0 to the card's port 0, between the
// interfaces' own MACs.
struct crafted_sender {
  peer_wire wire{0};
  uint64_t peer_mac = iface_mac(wire.fd, "wire0");
  uint64_t card_mac = host_mac("kvel0");

  static uint64_t host_mac(const char* ifname) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const uint64_t mac = iface_mac(fd, ifname);
    ::close(fd);
    return mac;
  }
  bool ready() const { return peer_mac != 0 && card_mac != 0; }
  bool send(const crafted_segment& c) const;
};

inline bool crafted_sender::send(const crafted_segment& c) const {
  uint8_t src_mac[6];
  kvel::u64_to_mac(peer_mac, src_mac);
  vyxtcp::tcp_tx_desc d{};
  d.remote_port = c.dport;
  d.local_port = c.sport;
  d.remote_ip = HOST_IP;
  d.seq = c.seq;
  d.ack = c.ack;
  d.window = c.window;
  d.tcp_flags = c.flags;
  d.ttl = 64;
  d.slot_hdr = uint8_t(5 + c.options.size() / 4);
  kvel::u64_to_mac(card_mac, d.next_hop_mac);
  const std::string bytes = c.options + c.payload;
  d.length = uint16_t(bytes.size());
  uint8_t frame[vyxtcp::TCP_CTRL_FRAME_MAX];
  const int len = vyxtcp::build_control_frame(frame, {src_mac, PEER_IP, 0}, d, bytes.data());
  if (len < 0) return false;
  if (c.data_offset >= 0) {
    uint8_t* tcp = frame + 34;
    tcp[12] = uint8_t(c.data_offset << 4);
    tcp[16] = tcp[17] = 0;
    const size_t tcp_len = size_t(len) - 34;
    uint8_t pseudo[12];
    memcpy(pseudo, frame + 26, 8);
    pseudo[8] = 0;
    pseudo[9] = IPPROTO_TCP;
    pseudo[10] = uint8_t(tcp_len >> 8);
    pseudo[11] = uint8_t(tcp_len);
    const uint16_t sum =
        vyxtcp::fold_checksum(vyxtcp::ones_sum(tcp, tcp_len, vyxtcp::ones_sum(pseudo, 12, 0)));
    tcp[16] = uint8_t(sum >> 8);
    tcp[17] = uint8_t(sum);
  }
  return wire.send_frame(frame, size_t(len));
}

// ---- The peer kernel's sockets ---------------------------------------------------

inline void set_receive_timeout(int fd, int seconds) {
  timeval tv{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A listening TCP socket of the peer on 198.18.0.2:port; -1 when it cannot be made.
inline int peer_tcp_listener(uint16_t port, int backlog = 64) {
  const int fd = peer_socket(AF_INET, SOCK_STREAM);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = ipv4_addr(PEER_IP, port);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  set_receive_timeout(fd, 5);
  return fd;
}

// A connection the peer opens toward the card's port 0 at port; the connect runs on
// while the caller accepts it. -1 when the socket cannot be made.
inline int peer_tcp_connect_start(uint16_t port) {
  const int fd = peer_socket(AF_INET, SOCK_STREAM);
  if (fd < 0) return -1;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  sockaddr_in a = ipv4_addr(HOST_IP, port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Waits for a connect started by peer_tcp_connect_start and makes the socket blocking
// with time limits again; false when it did not connect.
inline bool peer_tcp_connect_finish(int fd) {
  pollfd p{fd, POLLOUT, 0};
  int err = -1;
  socklen_t len = sizeof err;
  if (poll(&p, 1, 5000) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
    return false;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  set_receive_timeout(fd, 5);
  return true;
}

// Sends n pattern bytes; the bytes the kernel took.
inline size_t peer_send_pattern(int fd, size_t n) {
  std::string buf(n, '\0');
  for (size_t i = 0; i < n; ++i) buf[i] = char(pattern_byte(i));
  size_t sent = 0;
  while (sent < n) {
    const ssize_t rc = send(fd, buf.data() + sent, n - sent, MSG_NOSIGNAL);
    if (rc <= 0) break;
    sent += size_t(rc);
  }
  return sent;
}

// Receives n bytes; how many arrived in pattern order before the first wrong one, the
// end of the stream or the time limit.
inline size_t peer_receive_pattern(int fd, size_t n) {
  size_t good = 0;
  while (good < n) {
    char buf[4096];
    const ssize_t rc = recv(fd, buf, std::min(sizeof buf, n - good), 0);
    if (rc <= 0) break;
    for (ssize_t i = 0; i < rc; ++i, ++good)
      if (uint8_t(buf[i]) != pattern_byte(good)) return good;
  }
  return good;
}

// What the peer's socket learns next from the card's side: "eof", "reset", "data" or
// "timeout".
inline std::string peer_next_event(int fd) {
  char c;
  const ssize_t rc = recv(fd, &c, 1, 0);
  if (rc > 0) return "data";
  if (rc == 0) return "eof";
  return errno == ECONNRESET ? "reset" : "timeout";
}

// The states of the peer kernel's TCP sockets that the ss filter selects
// ("sport = :7500"), one word each ("ESTAB", "TIME-WAIT").
inline std::vector<std::string> peer_tcp_states(const std::string& filter) {
  const cmd_result r = peer_run("ss -tanH '( " + filter + " )' | awk '{print $1}'");
  std::vector<std::string> states;
  std::istringstream in(r.out);
  for (std::string w; in >> w;) states.push_back(w);
  return states;
}

// Those of the peer's sockets on its port `peer_port` toward our port `our_port`.
inline std::vector<std::string> peer_socket_states(uint16_t peer_port, uint16_t our_port) {
  return peer_tcp_states("sport = :" + std::to_string(peer_port) +
                         " and dport = :" + std::to_string(our_port));
}

// ---- The peer's firewall ---------------------------------------------------------

// An nftables table in the peer that drops, at its input, the TCP segments that
// `match` selects (an nft match such as "tcp dport 7500 tcp flags syn"); removed again
// at the end of the scope. The peer's wire recorder still sees what is dropped.
struct peer_drop {
  std::string table = "zt_drop_" + std::to_string(reinterpret_cast<uintptr_t>(this) % 100000);
  bool ok = false;

  explicit peer_drop(const std::string& match) {
    ok = peer_run("nft add table inet " + table + " && nft add chain inet " + table +
                  " in '{ type filter hook input priority -300 ; }' && nft add rule inet " +
                  table + " in " + match + " drop")
             .status == 0;
  }
  ~peer_drop() { peer_run("nft delete table inet " + table); }
  peer_drop(const peer_drop&) = delete;
  peer_drop& operator=(const peer_drop&) = delete;
};

// ---- Tests with peer sockets ------------------------------------------------------

// A card test with the peer kernel's sockets, closed at its end.
class tcp_peer_test : public tcp_api_test {
 protected:
  void TearDown() override {
    for (int fd : fds_) close(fd);
  }
  // A peer socket closed at the end of the test.
  int keep(int fd) {
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }
  void close_now(int fd) {
    fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
    close(fd);
  }
  // A connection from our port lport to the peer's listener on port, established, and
  // the peer's end of it.
  int open_active(handle_ptr& c, uint16_t lport, uint16_t port) {
    const int lfd = keep(peer_tcp_listener(port));
    EXPECT_GE(lfd, 0);
    EXPECT_EQ(zorvsock_tcp_connect(c.h, "kvel0", lport, PEER_IP, port), 0);
    EXPECT_EQ(wait_state(c.h, ZORVSOCK_TCP_ESTABLISHED), ZORVSOCK_TCP_ESTABLISHED);
    const int conn = keep(accept(lfd, nullptr, nullptr));
    EXPECT_GE(conn, 0) << strerror(errno);
    set_receive_timeout(conn, 5);
    return conn;
  }

 private:
  std::vector<int> fds_;
};

}  // namespace zt
