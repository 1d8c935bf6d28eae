// The socket handle of the zorvsock API: one object that embeds every kind of session,
// built in place by zorvsock_acquire_handle and freed by zorvsock_release_handle.
#pragma once
#include <cstdint>

#include "tcp/tcp_listen.h"
#include "tcp/tcp_pkt_if.h"
#include "tcp/vyx_tcp.h"
#include "ts_adjust.h"
#include "zorvtime.h"
#include "zorvudp_v2.h"

enum handle_kind : int {
  HANDLE_NONE = 0,
  HANDLE_TCP = 1,
  HANDLE_UDP = 2,
  HANDLE_TCP_LISTEN = 3,    // one-connection listener that becomes the connection
  HANDLE_TCP_LISTENER = 4,  // listener feeding zorvsock_tcp_accept
};

constexpr int RX_BUFFER_DEFAULT = 2048;  // 2 KiB units: a 4 MiB UDP ring
constexpr int RX_BUFFER_MIN = 128;
constexpr int RX_BUFFER_MAX = 65536;

struct alignas(64) zorvsock_handle {
  int kind = HANDLE_NONE;
  vyx::zorvudp_v2 udp{};
  vyxtcp::tcp_hw_session tcp_hw{};
  vyxtcp::sw_tcp<vyxtcp::tcp_hw_session> tcp{&tcp_hw};
  vyxtcp::tcp_listener listener{};
  kvel::zorvtime time{};
  int reserve_fd = -1;  // port-reservation socket
  int rx_buffer = RX_BUFFER_DEFAULT;
  uint8_t ttl;
  uint8_t mcast_ttl = 1;
  int tx_ts_entries = 0;  // requested TX time-stamp log size, 0 = no log
  kvel::ts_adjustment_config ts_cfg{};
  int32_t tx_adj_ns = 0;
  int32_t rx_adj_ns = 0;
  int mcast_fd = -1;  // multicast membership socket; -2 once disabled

  zorvsock_handle();
};

// Turns the interface's corrections and the port's delays into the handle's TX and RX
// adjustments, for the session of `kind`.
void setup_ts_adjustment(zorvsock_handle* h, int kind);
