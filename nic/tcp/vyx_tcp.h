// The TCP engine: the software state machine over a hardware TCP session.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "diag.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "netinfo.h"
#include "tcp_pkt_if.h"
#include "tx_timestamp_log.h"

namespace vyxtcp {

// Internal states, numbered in the order of the Linux kernel's TCP states.
enum : int {
  TCP_ESTABLISHED = 1,
  TCP_SYN_SENT = 2,
  TCP_SYN_RECV = 3,
  TCP_FIN_WAIT1 = 4,
  TCP_FIN_WAIT2 = 5,
  TCP_TIME_WAIT = 6,
  TCP_CLOSE = 7,
  TCP_CLOSE_WAIT = 8,
  TCP_LAST_ACK = 9,
  TCP_LISTEN = 10,
  TCP_CLOSING = 11,
};

constexpr int TCP_DEFAULT_MSS = 1460;

// The public state (zorvsock_tcp_get_status) of an internal state.
constexpr int tcp_public_state(int internal) {
  constexpr int map[12] = {0, 5, 4, 3, 8, 9, 11, 1, 6, 7, 2, 10};
  return internal >= 1 && internal <= 11 ? map[internal] : 0;
}

template <typename Session>
struct sw_tcp {
  const char* debug = nullptr;  // VYX_DEBUG, read once at acquisition
  std::thread worker;
  std::atomic<uint8_t> running{0};
  int state = TCP_CLOSE;
  Session* hw = nullptr;
  kvel::if_info* itf = nullptr;  // owned
  kvel::route_tables routes{};
  tcp_tx_desc data_desc{};  // its TTL byte is the connection's TTL
  int tx_mss = TCP_DEFAULT_MSS;
  kvel::tx_timestamp_log tx_log{};

  explicit sw_tcp(Session* session) : debug(getenv("VYX_DEBUG")), hw(session) {
    routes.refresh(nullptr);
  }

  // The TTL of every segment, and of the driver's reset when the session is released.
  void set_ttl(uint8_t ttl) {
    data_desc.ttl = ttl;
    if (hw->dev_fd_ < 0) return;
    if (kvel::kvel_dev_ioctl(hw->dev_fd_, kvel::KVEL_TCP_TTL_RST_ON_RELEASE, &ttl) != 0)
      KVEL_DIAG("tcp/vyx_tcp", "KVEL_TCP_TTL_RST_ON_RELEASE error: %s\n\n", strerror(errno));
  }

  // Stops and joins the worker before anything it uses goes away.
  void release() {
    running.exchange(0);
    if (worker.joinable()) worker.join();
    tx_log.release();
    delete itf;
    itf = nullptr;
  }
};

}  // namespace vyxtcp
