// The library's side of a hardware UDP session, embedded in every handle: the local
// interface, the device and register page, the receive ring, the TX window with the
// descriptor template that every send starts from, the destination and its MAC, the
// receive filter and what the datagram last received came from.
#pragma once
#include <cstdint>

#include "netinfo.h"
#include "rx_dma_ring.h"
#include "tx_pio.h"
#include "tx_timestamp_log.h"
#include "udp_status.h"

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

constexpr uint16_t UDP_DESC_TX_TIMESTAMP = 0x8000;
constexpr uint16_t UDP_DESC_FLAGS_MASK = 0x7fff;

// The argument of KVEL_UDP_RX_FILTER: which datagrams reach the session's ring.
struct udp_rx_filter_arg {
  uint32_t zero0;
  uint32_t match_ip;
  uint16_t local_port;
  uint16_t zero1;
  uint32_t zero2;
  uint8_t vlan_slot;
  uint8_t zero3[3];
  uint32_t match_mask;
};
static_assert(sizeof(udp_rx_filter_arg) == 24);

// The UDP fields of a receive slot, after the header common to every session.
constexpr int UDP_SLOT_SRC_IP = 10;
constexpr int UDP_SLOT_SRC_PORT = 14;
constexpr int UDP_SLOT_DST_IP = 16;
constexpr int UDP_SLOT_DST_PORT = 20;

// UDP session registers.
constexpr uint64_t UDP_SESSION_ID = 'Q';    // identity bits 31..24
constexpr size_t UDP_REG_SESSION_FLAG = 0x40;  // a one-byte control flag of the session
constexpr uint32_t UDP_CTRL_TX_ENABLE = 1u << 0;

constexpr int UDP_MAX_PAYLOAD = 1472;       // an untagged 1500-byte IPv4 packet
constexpr int UDP_MAX_PAYLOAD_VLAN = 1468;  // the 802.1Q tag takes four bytes
constexpr int UDP_TTL_AT_SETUP = 64;

struct zorvudp_v2 {
  kvel::if_info* itf_ = nullptr;  // owned
  kvel::route_tables routes_{};
  int ifindex_ = 0;
  int fd_ = -1;
  int port_ = 0;       // fiber index on the device
  int vlan_slot_ = 0;  // 0: untagged; else the port's VLAN slot 1..15
  uint32_t control_ = 0;  // last value written to the control register
  volatile uint64_t* reg_ = nullptr;
  kvel::tx_timestamp_log ts_log_{};
  int max_payload_ = UDP_MAX_PAYLOAD;
  udp_status_thread status_{};
  uint16_t local_port_ = 0;
  uint16_t dst_port_ = 0;  // 0: none
  uint32_t dst_ip_ = 0;    // 0: none
  // The destination last given could not be resolved (no route, no neighbour, or the
  // filter before it was refused): the descriptor's MAC is not its, so sends are refused
  // until a configure or retarget resolves one.
  bool dst_unresolved_ = false;
  uint32_t group_ = 0;     // 0: the filter matches the interface address only
  uint32_t group_mask_ = 0;
  uint32_t next_hop_ = 0;
  udp_tx_desc tx_desc_{};
  kvel::tx_pio tx_pio_{};
  kvel::rx_dma_ring rx_dma_{};
  uint32_t last_src_ip_ = 0;
  uint16_t last_src_port_ = 0;
  uint32_t last_dst_ip_ = 0;
  uint16_t last_dst_port_ = 0;
  bool rx_held_ = false;  // a receive returned the current slot and no done freed it
  int rx_ring_bytes_ = kvel::RX_RING_DEFAULT_BYTES;

  // The TX and RX state reach the session's descriptor, page and control shadow
  // through their addresses, so the session never moves.
  zorvudp_v2();
  zorvudp_v2(const zorvudp_v2&) = delete;
  zorvudp_v2& operator=(const zorvudp_v2&) = delete;

  // Opens the device of `ifname` (VLAN suffix included), allocates the session, maps
  // its pages and starts ring and window. 0; -1 after a diagnostic; the ring's error.
  int init(const char* ifname);
  // Programs the receive filter (group 0: the interface address only) and, with a
  // destination, resolves it. 0, -1 when the driver refuses the filter, or -113.
  int set_rx_filter(uint16_t local_port, uint32_t dst_ip, uint16_t dst_port, uint32_t group,
                    uint32_t mask);
  int change_local_port(uint16_t port);  // 0, or -1 when the driver refuses the filter
  // The descriptor's destination address and MAC for dst_ip_ (none for address 0:
  // sends then answer the last sender). 0 or -113, which marks the destination
  // unresolved.
  int resolve_destination();
  int max_payload() const { return vlan_slot_ ? UDP_MAX_PAYLOAD_VLAN : UDP_MAX_PAYLOAD; }
  // Gives back everything the session holds; safe in any state of set-up.
  void release();

 private:
  int open_session(const char* dev_path, int fiber);
  int find_vlan_slot(int vlan);
  int start_datapath();
  int program_filter();
  int find_destination_mac(uint32_t dst);
  void release_pages();
};

}  // namespace vyx
