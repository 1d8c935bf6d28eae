// What the benchmarks that drive the card share: the port and peer of the launcher,
// the clock they time with, the wait (never timed) for the card to read everything
// written into a TX window, the timing of a burst of sends, and opening and closing TCP
// connections to the peer through the card and by the kernel.
#pragma once
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "tx_pio.h"
#include "zorvsock.h"

namespace card_bench {

using clock_type = std::chrono::steady_clock;

constexpr const char* IFNAME = "kvel0";
constexpr uint32_t PEER_IP = 0xC6120002;  // 198.18.0.2, the Linux peer of kvel0
constexpr int KERNEL_BURST = 32;          // sends per timed burst on a kernel socket

// How long the card, or the simulator standing in for it, may take to catch up.
constexpr auto CARD_TIMEOUT = std::chrono::seconds(2);

inline double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// The card has read every line written so far (false when it has not within
// CARD_TIMEOUT).
inline bool window_drained(const kvel::tx_pio& tx) {
  const uint32_t writer = uint32_t(tx.tx_offset_ >> 12) << 16 |
                          uint32_t((tx.tx_offset_ & 0xfff) / kvel::TX_LINE_BYTES);
  const auto deadline = clock_type::now() + CARD_TIMEOUT;
  while (*tx.fdb_ != writer)
    if (clock_type::now() > deadline) return false;
  return true;
}

// The seconds per call of `burst` calls of send_one (true when the call did its work);
// *ok false as soon as a call fails.
template <typename Send>
double burst_seconds(int burst, Send send_one, bool* ok) {
  const auto t0 = clock_type::now();
  *ok = true;
  for (int i = 0; i < burst && *ok; ++i) *ok = send_one();
  return seconds_since(t0) / burst;
}

// Times a burst and books the time per call as the iteration's; false when a call failed.
template <typename Send>
bool timed_burst(benchmark::State& state, int burst, Send send_one) {
  bool ok = true;
  state.SetIterationTime(burst_seconds(burst, send_one, &ok));
  return ok;
}

constexpr auto OPEN_TIMEOUT = std::chrono::seconds(5);

inline bool before(clock_type::time_point deadline) { return clock_type::now() < deadline; }

// A connection through the card to the peer's port, established; null when there is
// none within OPEN_TIMEOUT.
inline zorvsock_handle* card_connect(uint16_t port) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  if (h && zorvsock_tcp_connect(h, IFNAME, 0, PEER_IP, port) == 0) {
    const auto deadline = clock_type::now() + OPEN_TIMEOUT;
    while (zorvsock_tcp_get_status(h) == ZORVSOCK_TCP_SYN_ST && before(deadline)) {
    }
    if (zorvsock_tcp_get_status(h) == ZORVSOCK_TCP_ESTABLISHED) return h;
  }
  zorvsock_release_handle(h);
  return nullptr;
}

// Our FIN, a short wait for the peer's, then the handle goes back: the peer sees an
// orderly close rather than the reset of a release.
inline void card_close(zorvsock_handle* h) {
  zorvsock_tcp_disconnect(h);
  const auto deadline = clock_type::now() + CARD_TIMEOUT;
  int s = zorvsock_tcp_get_status(h);
  while (s != ZORVSOCK_TCP_TIME_WAIT && s != ZORVSOCK_TCP_CLOSED && before(deadline))
    s = zorvsock_tcp_get_status(h);
  zorvsock_release_handle(h);
}

// A kernel TCP connection to the peer's port (with TCP_NODELAY: one segment per send);
// -1 when there is none.
inline int kernel_connect(uint16_t port, bool nodelay) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(PEER_IP);
  const int one = 1;
  if (nodelay) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
  close(fd);
  return -1;
}

}  // namespace card_bench
