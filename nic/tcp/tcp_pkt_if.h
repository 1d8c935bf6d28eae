// The hardware TCP session: the card's TCP session bound to one connection, with the
// packet socket that carries the control segments the card does not make itself.
#pragma once
#include <cstdint>
#include <string>

#include "netinfo.h"

namespace vyxtcp {

// The 32-byte TCP TX descriptor: the first 32 bytes of every segment in the TX window.
struct tcp_tx_desc {
  uint16_t length;  // bytes after the 20-byte base header (options and payload)
  uint16_t flags;   // bits 14..0 from register 0x28; bit 15: log the send time
  uint16_t remote_port;
  uint16_t local_port;
  uint32_t remote_ip;
  uint32_t ack;
  uint32_t seq;
  uint8_t next_hop_mac[6];
  uint16_t window;
  uint8_t tcp_flags;
  uint8_t reserved;
  uint8_t ttl;
  uint8_t slot_hdr;  // bits 7..4 VLAN slot, bits 3..0 header length in words
};
static_assert(sizeof(tcp_tx_desc) == 32);

struct tcp_hw_session {
  uint32_t local_ip_ = 0;
  uint32_t remote_ip_ = 0;
  uint16_t remote_port_ = 0;
  kvel::if_info* if_info_ = nullptr;  // owned
  kvel::route_tables routes_{};
  std::string ifname_;
  int pkt_fd_ = -1;
  volatile uint64_t* reg_ = nullptr;
  int dev_fd_ = -1;
  int fiber_ = 0;

  // Gives back everything the session holds; safe in any state of set-up.
  void release();
};

}  // namespace vyxtcp
