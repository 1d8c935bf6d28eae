// The hardware TCP session: the card's TCP session bound to one connection, with the
// packet socket that carries the control segments the card does not make itself.
#pragma once
#include <cstdint>
#include <string>

#include "netinfo.h"
#include "rx_dma_ring.h"
#include "tx_pio.h"

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

// The card's TX acknowledgement block, at byte 64 of the feedback page once the
// acknowledgement offload is on.
struct txack {
  uint32_t ack;  // highest acknowledgement number received from the peer
  uint16_t win;  // the peer's window field, unscaled
  uint8_t dup_ack;
  uint8_t fin_rst_flags;  // bits 0, 1: control segments wait in the ring; bit 2: reset
};
static_assert(sizeof(txack) == 8);

constexpr uint64_t TCP_SESSION_ID = 'U';  // identity bits 31..24
constexpr uint32_t TCP_CTRL_TX_ENABLE = (1u << 0) | (1u << 4);
constexpr uint32_t TCP_CTRL_ACK_OFFLOAD = (1u << 2) | (1u << 3);
constexpr size_t TCP_REG_ACK_DOORBELL = 0x60;
constexpr size_t TCP_REG_ACK_OFFLOAD = 0x120;
constexpr size_t TCP_TXACK_OFFSET = 64;  // in the feedback page
constexpr int TCP_RX_RING_BYTES = 16 << 20;
constexpr uint8_t TCP_SRC_MAC_UNKNOWN[6] = {0x00, 0x00, 0x01, 0x02, 0x03, 0x04};

// The argument of KVEL_TCP_SESSION_SETUP: binds the card session to one connection.
struct tcp_session_setup_arg {
  uint32_t zero0;
  uint32_t remote_ip;
  uint16_t local_port;
  uint16_t remote_port;
  uint8_t vlan_slot;
  uint8_t zero1[31];
};
static_assert(sizeof(tcp_session_setup_arg) == 44);

// The argument of KVEL_TCP_LISTEN.
struct tcp_listen_arg {
  uint32_t port_index;
  uint32_t ip_be;
  uint16_t port_be;
  uint16_t vlan_id;
};
static_assert(sizeof(tcp_listen_arg) == 12);

struct tcp_hw_session {
  uint8_t src_mac_[6] = {TCP_SRC_MAC_UNKNOWN[0], TCP_SRC_MAC_UNKNOWN[1], TCP_SRC_MAC_UNKNOWN[2],
                         TCP_SRC_MAC_UNKNOWN[3], TCP_SRC_MAC_UNKNOWN[4], TCP_SRC_MAC_UNKNOWN[5]};
  uint8_t next_hop_mac_[6] = {};
  uint32_t local_ip_ = 0;
  uint32_t remote_ip_ = 0;
  uint32_t next_hop_ = 0;
  uint16_t local_port_ = 0;
  uint16_t remote_port_ = 0;
  uint8_t ttl_ = 0;
  kvel::if_info* if_info_ = nullptr;  // owned
  kvel::route_tables routes_{};
  uint32_t ifindex_ = 0;
  std::string ifname_;  // as given to init, VLAN suffix included
  int vlan_slot_ = 0;
  uint32_t vlan_id_ = 0;
  int pkt_fd_ = -1;
  volatile uint64_t* reg_ = nullptr;
  uint32_t control_ = 0;
  int rx_bytes_ = TCP_RX_RING_BYTES;
  int dev_fd_ = -1;
  int fiber_ = 0;
  kvel::tx_pio tx_pio_{};
  kvel::rx_dma_ring rx_dma_{};
  volatile txack* txack_ = nullptr;

  // The TX and RX state reach the descriptor, page and control shadow through their
  // addresses, so the session never moves.
  tcp_hw_session();
  tcp_hw_session(const tcp_hw_session&) = delete;
  tcp_hw_session& operator=(const tcp_hw_session&) = delete;

  // Sets the session up for one connection: 0, -1 after a diagnostic, -12 when the
  // receive ring cannot be mapped, -113 without next hop or its MAC.
  int init(const char* ifname, uint32_t remote_ip, uint16_t remote_port, uint16_t local_port,
           uint32_t local_ip, uint8_t ttl);
  // Builds if_info_ for `ifname` and takes MAC and address from it. 0 or -1.
  int init_local_ip(const char* ifname);
  // The send-only packet socket of the connection, bound to `ifname` (own when the
  // process may make one, else handed over by zorvnic_daemon). 0 or -1.
  int open_packet_socket(const char* ifname);
  // One control segment built from desc (its length field becomes len) and sent on
  // pkt_fd_: the frame length, or -1.
  int send_control_segment(const void* payload, uint16_t len, tcp_tx_desc* desc);
  void enable_rst_on_release();
  void disable_rst_on_release();
  // Gives back everything the session holds; safe in any state of set-up.
  void release();

 private:
  int route_to_peer();
  int open_session(const char* dev_path);
  int find_vlan_slot();
  int bind_connection();
  int start_datapath();
  void set_rst_on_release(int on, const char* func, int line);
  void release_pages();
};

// KVEL_TCP_LISTEN on fd for (port index, IPv4 address, TCP port, VLAN id): the ioctl's
// result.
int register_listener(int fd, uint32_t port_index, uint16_t port, uint32_t ip, uint16_t vlan_id);

}  // namespace vyxtcp
