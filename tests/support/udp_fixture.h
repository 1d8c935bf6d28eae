// Helpers for the UDP card tests: the Linux peer tool (udp_peer.py, next to this file)
// run in the peer namespace beside the test, its "key value" reports, the peer's UDP
// counters, and UDP handles on the card.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "test_support.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace zt {

constexpr uint32_t ipv4(int a, int b, int c, int d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | uint32_t(d);
}
constexpr uint32_t HOST_IP = ipv4(198, 18, 0, 1);  // kvel0
constexpr uint32_t PEER_IP = ipv4(198, 18, 0, 2);  // wire0 in the peer

inline std::string udp_peer_tool() {
  const std::string here = __FILE__;
  return "python3 " + here.substr(0, here.rfind('/')) + "/udp_peer.py";
}

// The payload pattern that udp_peer.py checks in datagrams from the library.
inline std::string library_pattern(int len) {
  std::string s(size_t(len), '\0');
  for (int i = 0; i < len; ++i) s[size_t(i)] = char((len * 7 + i) & 0xFF);
  return s;
}
// The payload udp_peer.py sends: a sequence number, then (seq + i) & 255.
inline bool is_peer_payload(const void* data, int len, uint32_t* seq) {
  if (len < 4) return false;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  memcpy(seq, p, 4);
  for (int i = 4; i < len; ++i)
    if (p[i] != uint8_t(*seq + uint32_t(i))) return false;
  return true;
}

// "key value" lines of a udp_peer.py report.
inline std::map<std::string, std::string> parse_report(const std::string& out) {
  std::map<std::string, std::string> r;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const size_t sp = line.find(' ');
    r[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
  }
  return r;
}

// One peer tool command (udp_peer.py unless another tool is given) running in the peer
// namespace while the test goes on. Its arguments may hold "{ready}": the file it
// creates once its sockets are bound.
struct peer_job {
  std::string ready = "/tmp/udp_peer_ready." + std::to_string(getpid()) + "." +
                      std::to_string(reinterpret_cast<uintptr_t>(this));
  cmd_result result{-1, {}};
  std::thread thread;

  explicit peer_job(std::string args) : peer_job(udp_peer_tool(), std::move(args)) {}
  peer_job(const std::string& tool, std::string args) {
    for (size_t at; (at = args.find("{ready}")) != std::string::npos;) args.replace(at, 7, ready);
    std::remove(ready.c_str());
    thread = std::thread([this, tool, args] { result = peer_run(tool + " " + args); });
  }
  ~peer_job() {
    if (thread.joinable()) thread.join();
    std::remove(ready.c_str());
  }
  // A python3 peer may take many seconds to start on a machine busy with other tests.
  bool wait_ready() const {
    for (int i = 0; i < 1200; ++i) {
      if (access(ready.c_str(), F_OK) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  std::map<std::string, std::string> report() {
    thread.join();
    EXPECT_EQ(result.status, 0) << result.out;
    return parse_report(result.out);
  }
  peer_job(const peer_job&) = delete;
  peer_job& operator=(const peer_job&) = delete;
};

// A handle with a plain UDP flow; null (after a test failure) when it cannot be set up.
inline zorvsock_handle* udp_flow(const char* ifname, uint16_t lport, uint32_t dst,
                                 uint16_t dport) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  const int rc = zorvsock_udp_configure(h, ifname, lport, dst, dport);
  EXPECT_EQ(rc, 0) << "configure " << ifname;
  if (rc == 0) return h;
  zorvsock_release_handle(h);
  return nullptr;
}

// Sends with retries while the window is full; the send's result otherwise.
inline int send_retrying(zorvsock_handle* h, const void* data, int len, uint64_t* id = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int rc;
  do rc = zorvsock_udp_send(h, data, len, id);
  while (rc == -11 && std::chrono::steady_clock::now() < deadline);
  return rc;
}

// The next datagram within the time limit: its length, or -11.
inline int receive_within(zorvsock_handle* h, const void** data, uint64_t* rx_time,
                          uint32_t* src_ip, uint16_t* src_port, uint32_t* dst_ip,
                          uint16_t* dst_port, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int len;
  do len = zorvsock_udp_zc_receivefrom_full(h, data, rx_time, src_ip, src_port, dst_ip, dst_port);
  while (len == -11 && std::chrono::steady_clock::now() < deadline);
  return len;
}

// Waits until the card has read every line written into the TX window: a release
// right after the last send would otherwise take the session away from under it.
inline bool wait_tx_drained(zorvsock_handle* h) {
  const kvel::tx_pio& tx = h->udp.tx_pio_;
  const uint32_t writer =
      uint32_t(tx.tx_offset_ >> 12) << 16 | uint32_t((tx.tx_offset_ & 0xfff) / 64);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (*tx.fdb_ != writer)
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

// The output of a UDP configure on port 0 of device 0 when the simulator refuses it;
// empty when it sets the session up.
inline std::string udp_session_refusal() {
  zorvsock_handle* h = zorvsock_acquire_handle();
  testing::internal::CaptureStdout();
  const int rc = zorvsock_udp_configure(h, "kvel0", 0, 0, 0);
  const std::string out = testing::internal::GetCapturedStdout();
  zorvsock_release_handle(h);
  return rc == 0 ? "" : "configure gave " + std::to_string(rc) + ": " + out;
}

}  // namespace zt

// The UDP card tests need the launcher and the simulator's UDP sessions: without them
// the test fails at once with the reason, not later with a muddle of errors.
#define ZT_REQUIRE_UDP()                                                                  \
  do {                                                                                    \
    ZT_REQUIRE_LAUNCHED();                                                                \
    ASSERT_EQ(::zt::udp_session_refusal(), "") << "the simulator offers no UDP session"; \
  } while (0)
