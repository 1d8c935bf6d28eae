// What the card's UDP engine makes of a session's bytes: the frame a TX descriptor and
// its payload become, the receive filter and its rule, and the UDP fields of a receive
// slot's header.
#pragma once
#include <cstddef>
#include <cstdint>

#include "sim_frame.h"
#include "sim_vlan.h"

namespace zsim {

// The 32-byte UDP TX descriptor (little-endian; addresses and ports in host order).
struct udp_tx_desc {
  uint16_t length;
  uint16_t flags;  // bit 15: log this send's time
  uint16_t dst_port;
  uint16_t src_port;
  uint32_t dst_ip;
  uint32_t src_ip;
  unsigned char dst_mac[6];
  unsigned char src_mac[6];
  uint8_t reserved0;
  uint8_t ttl;
  uint8_t vlan_slot;  // 0: untagged
  uint8_t reserved1;
};
static_assert(sizeof(udp_tx_desc) == 32);

constexpr size_t UDP_SLOT_HDR_LEN = 32;  // past the destination fields
// The longest frame a descriptor can ask for: the largest payload the window holds.
constexpr size_t UDP_MAX_FRAME =
    ETH_HDR_BYTES + VLAN_TAG_BYTES + IPV4_HDR_BYTES + UDP_HDR_BYTES + 4064;

// Window lines a send takes, from its first line.
int udp_send_lines(const unsigned char* first_line);

// Builds into frame (UDP_MAX_FRAME bytes) the frame of a send whose lines (the first
// one starting with the descriptor) are given; vlan_id 0 leaves it untagged. The frame's
// length, padded to the Ethernet minimum.
size_t udp_frame_build(const unsigned char* lines, uint16_t vlan_id, uint16_t ip_id,
                       unsigned char* frame);

// The receive filter of a session, from the KVEL_UDP_RX_FILTER argument.
struct udp_filter {
  bool set = false;
  uint32_t match = 0;
  uint32_t mask = 0;
  uint16_t port = 0;  // 0: any destination port
  uint8_t vlan_slot = 0;
};

// False when the argument is not one the card takes.
bool udp_filter_parse(const unsigned char* arg, udp_filter* f);
bool udp_filter_matches(const udp_filter& f, const udp_view& v, uint8_t vlan_slot);
// Multicast and broadcast datagrams go to every session that matches, others to one.
bool udp_for_every_match(const udp_view& v);

// The slot header of a datagram (UDP_SLOT_HDR_LEN bytes, length field left 0).
void udp_slot_header(const udp_view& v, uint64_t rx_time, unsigned char* hdr);

}  // namespace zsim
