// Helpers for the card tests of the exported TCP calls: the Linux peer tool
// (tcp_api_peer.py, next to this file) run in the peer namespace beside the test,
// handles released at the end of a scope, the public states a connection passes
// through, and the byte pattern carried both ways.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "udp_fixture.h"
#include "zorvsock.h"

namespace zt {

// The byte at stream offset i, in both directions.
inline uint8_t pattern_byte(size_t i) { return uint8_t(i * 7 + i / 256); }

inline std::string tcp_peer_tool() {
  const std::string here = __FILE__;
  return "python3 " + here.substr(0, here.rfind('/')) + "/tcp_api_peer.py";
}

// One tcp_api_peer.py command running in the peer namespace while the test goes on.
struct tcp_peer {
  peer_job job;

  explicit tcp_peer(const std::string& args) : job(tcp_peer_tool(), args + " --ready {ready}") {}
  bool wait_ready() const { return job.wait_ready(); }
  std::map<std::string, std::string> report() { return job.report(); }
};

struct handle_ptr {
  zorvsock_handle* h = zorvsock_acquire_handle();
  handle_ptr() = default;
  ~handle_ptr() { zorvsock_release_handle(h); }
  handle_ptr(const handle_ptr&) = delete;
  handle_ptr& operator=(const handle_ptr&) = delete;
};

// The public states a connection passes through until it shows `want` (or 30 s pass),
// each recorded once.
inline std::vector<int> states_until(zorvsock_handle* h, int want) {
  std::vector<int> seen;
  // Generous: the peer that moves the state on may be a python3 that a busy machine
  // starts slowly; the wait ends as soon as the state is reached.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    const int s = zorvsock_tcp_get_status(h);
    if (seen.empty() || seen.back() != s) seen.push_back(s);
    if (s == want) break;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return seen;
}

inline int wait_state(zorvsock_handle* h, int want) {
  const std::vector<int> seen = states_until(h, want);
  return seen.empty() ? -1 : seen.back();
}

// Sends n pattern bytes in segment-sized calls, retrying while the window is full.
inline size_t send_pattern(zorvsock_handle* h, size_t n) {
  std::vector<uint8_t> buf(n);
  for (size_t i = 0; i < n; ++i) buf[i] = pattern_byte(i);
  size_t sent = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (sent < n && std::chrono::steady_clock::now() < deadline) {
    const int len = int(std::min<size_t>(1460, n - sent));
    const int rc = zorvsock_tcp_send(h, buf.data() + sent, len, nullptr);
    if (rc == 0) sent += size_t(len);
    else if (rc != -11) break;
  }
  return sent;
}

struct receive_result {
  size_t bytes = 0;
  long first_bad = -1;
  int end = 0;  // the receive's result that ended the stream
};

// Receives until the connection can deliver no more, `want` bytes have come (0: no
// such limit) or 20 s pass, checking the pattern at every stream offset.
inline receive_result receive_pattern(zorvsock_handle* h, size_t want = 0) {
  receive_result r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline && (want == 0 || r.bytes < want)) {
    const void* data = nullptr;
    const int len = zorvsock_tcp_zc_receive(h, &data, nullptr);
    if (len < 0) {
      r.end = len;
      break;
    }
    const auto* p = static_cast<const uint8_t*>(data);
    for (int i = 0; i < len; ++i)
      if (r.first_bad < 0 && p[i] != pattern_byte(r.bytes + size_t(i)))
        r.first_bad = long(r.bytes) + i;
    r.bytes += size_t(len);
    if (len > 0) zorvsock_tcp_zc_receive_done(h);
  }
  return r;
}

// The card tests of the TCP calls; the launcher has given the port its address, the
// source of the card's segments.
class tcp_api_test : public ::testing::Test {
 protected:
  void SetUp() override { ZT_REQUIRE_LAUNCHED(); }
};

}  // namespace zt
