// An echo client over the card, shared by the lossy-wire tests and the loss benchmark:
// it sends a stream to an echo server (tcp_stream_peer --echo) in long sends, taking
// back between them whatever the server has echoed so far, as an ordinary program does
// whose sends block. While it sits inside a long send the echo keeps arriving: only the
// library acknowledges it then.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "tcp_stream.h"
#include "zorvsock.h"

namespace zt {

struct echo_outcome {
  uint64_t sent = 0;
  stream_check echoed;
  int send_rc = 0;     // of the send that failed (0: none)
  int receive_rc = 0;  // of the receive that ended the echo early (0: none)
  bool timed_out = false;
  double seconds = 0;  // from the first send to the last byte of echo
  explicit echo_outcome(uint64_t seed) : echoed(seed) {}
  bool complete(uint64_t n) const { return sent == n && echoed.bytes() == n; }
};

// Takes what has been echoed so far, without waiting; false when the receive failed.
inline bool take_echo(zorvsock_handle* h, echo_outcome& r) {
  const void* data;
  int len;
  while ((len = zorvsock_tcp_zc_receive(h, &data, nullptr)) > 0) {
    r.echoed.take(static_cast<const uint8_t*>(data), size_t(len));
    zorvsock_tcp_zc_receive_done(h);
  }
  r.receive_rc = len;
  return len == 0;
}

// Sends n bytes of the stream of seed in long sends of `chunk` bytes and takes the echo
// until all of it has come, a call fails, or `limit` has passed (checked between calls:
// a send blocks for as long as the connection lives).
inline echo_outcome card_echo(zorvsock_handle* h, uint64_t n, size_t chunk, uint64_t seed,
                              std::chrono::seconds limit) {
  using clk = std::chrono::steady_clock;
  echo_outcome r(seed);
  stream_source src(seed);
  std::vector<uint8_t> buf(chunk);
  const auto t0 = clk::now();
  const auto deadline = t0 + limit;
  while (!r.complete(n)) {
    if (clk::now() > deadline) {
      r.timed_out = true;
      break;
    }
    if (r.sent < n) {
      const size_t len = size_t(std::min<uint64_t>(chunk, n - r.sent));
      src.fill(buf.data(), len);
      r.send_rc = zorvsock_tcp_send(h, buf.data(), int(len), nullptr);
      if (r.send_rc != 0) break;
      r.sent += len;
    }
    if (!take_echo(h, r)) break;
  }
  r.seconds = std::chrono::duration<double>(clk::now() - t0).count();
  return r;
}

}  // namespace zt
