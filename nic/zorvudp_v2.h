// The library's side of a hardware UDP session, embedded in every handle.
#pragma once
#include <cstdint>

#include "netinfo.h"
#include "tx_timestamp_log.h"

namespace vyx {

// The 32-byte UDP TX descriptor that starts every datagram in the TX window.
struct udp_tx_desc {
  uint16_t length;
  uint16_t flags;  // bits 14..0 from register 0x028; bit 15: log the send time
  uint16_t dst_port;
  uint16_t src_port;
  uint32_t dst_ip;
  uint32_t src_ip;
  uint8_t dst_mac[6];
  uint8_t src_mac[6];
  uint8_t reserved0;
  uint8_t ttl;
  uint8_t vlan_slot;
  uint8_t reserved1;
};
static_assert(sizeof(udp_tx_desc) == 32);

// UDP session register: a one-byte control flag of the card's session.
constexpr size_t UDP_REG_SESSION_FLAG = 0x40;

struct zorvudp_v2 {
  kvel::if_info* itf_ = nullptr;  // owned
  int fd_ = -1;
  int port_ = 0;  // fiber index on the device
  volatile uint64_t* reg_ = nullptr;
  kvel::tx_timestamp_log ts_log_{};
  uint16_t dst_port_ = 0;
  uint32_t dst_ip_ = 0;
  udp_tx_desc tx_desc_{};
  uint32_t last_src_ip_ = 0;
  uint16_t last_src_port_ = 0;

  // Gives back everything the session holds; safe in any state of set-up.
  void release();
};

}  // namespace vyx
