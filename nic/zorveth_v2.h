// The Ethernet session of a port: a raw layer-2 channel with its own register page,
// receive ring and TX window. zorvnic_daemon holds one per port it brings up, for the
// driver to serve the port as a Linux interface; it sends and receives nothing on it.
#pragma once
#include <cstdint>

#include "rx_dma_ring.h"
#include "tx_pio.h"

namespace vyx {

constexpr uint64_t ETH_SESSION_ID = 'S';  // identity bits 31..24
constexpr uint32_t ETH_CTRL_TX_ENABLE = 1u << 0;

struct zorveth_v2 {
  int fd_ = -1;  // the port's device descriptor, owned by the session
  int port_ = 0;
  uint32_t control_ = 0;  // last value written to the control register
  volatile uint64_t* reg_ = nullptr;
  kvel::tx_pio tx_pio_{};
  kvel::rx_dma_ring rx_dma_{};

  // The TX and RX state reach descriptor, page and control shadow through their
  // addresses, so the session never moves.
  zorveth_v2();
  zorveth_v2(const zorveth_v2&) = delete;
  zorveth_v2& operator=(const zorveth_v2&) = delete;

  // Opens the device node and allocates the Ethernet session of port `port` on it. The
  // caller names the device itself: a port name could be reported by another device too.
  // 0, or -1 (a refused allocation says nothing).
  int init_devfd(const char* dev_path, int port);
  // Maps the register page, checks its identity, starts the 4 MiB ring and the TX
  // window. 0; -1 after a diagnostic; -12 when the ring cannot be mapped.
  int init();
  // Gives back pages and descriptor; safe in any state of set-up.
  void release();
};

}  // namespace vyx
