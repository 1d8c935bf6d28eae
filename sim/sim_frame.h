// Ethernet, 802.1Q, IPv4, UDP and TCP on the wire: header layouts, big-endian field access,
// Internet checksums, and the parse of a received frame into a host-order view that
// points into the frame (nothing is copied or byte-swapped in place).
#pragma once
#include <cstddef>
#include <cstdint>

namespace zsim {

constexpr size_t ETH_ADDR_BYTES = 6;
constexpr size_t ETH_HDR_BYTES = 14;
constexpr size_t VLAN_TAG_BYTES = 4;
constexpr size_t IPV4_HDR_BYTES = 20;  // without options
constexpr size_t UDP_HDR_BYTES = 8;
constexpr size_t ETH_MIN_FRAME = 60;  // without the frame check sequence
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr uint8_t IP_PROTO_TCP = 6;
constexpr uint8_t IP_PROTO_UDP = 17;
constexpr uint16_t IPV4_FLAG_DF = 0x4000;
constexpr uint16_t IPV4_FLAG_MF = 0x2000;
constexpr uint16_t IPV4_FRAG_OFFSET = 0x1fff;
constexpr uint16_t VLAN_ID_MASK = 0xfff;

inline uint16_t load_be16(const unsigned char* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t load_be32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void store_be16(unsigned char* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void store_be32(unsigned char* p, uint32_t v) {
  store_be16(p, uint16_t(v >> 16));
  store_be16(p + 2, uint16_t(v));
}

// One's-complement sum of n bytes as big-endian 16-bit words (an odd last byte is padded
// with zero), added to sum; fold it with csum_fold.
uint32_t csum_add(uint32_t sum, const unsigned char* p, size_t n);
// The folded, complemented checksum of a sum.
uint16_t csum_fold(uint32_t sum);
// Sum of the pseudo header of a UDP or TCP segment of l4_len bytes.
uint32_t l4_pseudo_sum(uint32_t src_ip, uint32_t dst_ip, uint8_t proto, uint16_t l4_len);

// Writes an Ethernet header, with an 802.1Q tag when vlan_id is not 0, for an IPv4
// payload; the bytes written.
size_t eth_header_write(unsigned char* frame, const unsigned char* dst_mac,
                        const unsigned char* src_mac, uint16_t vlan_id);
// Writes a 20-byte IPv4 header with its checksum for a proto payload of l4_len bytes.
void ipv4_header_write(unsigned char* ip, uint32_t src_ip, uint32_t dst_ip, uint8_t proto,
                       uint16_t l4_len, uint16_t id, uint8_t ttl);
// A frame of len bytes zero-padded to the Ethernet minimum: its new length.
size_t eth_pad(unsigned char* frame, size_t len);
// Writes the UDP header before its payload (already in place) and its checksum.
void udp_header_write(unsigned char* udp, uint32_t src_ip, uint32_t dst_ip, uint16_t src_port,
                      uint16_t dst_port, size_t payload_len);

// An unfragmented IPv4 packet in a received frame, fields in host order.
struct ipv4_view {
  bool group_mac = false;  // sent to a multicast or broadcast MAC address
  uint16_t vlan_id = 0;    // 0: untagged or priority-tagged
  const unsigned char* src_mac = nullptr;
  uint32_t src_ip = 0, dst_ip = 0;
  const unsigned char* ip = nullptr;  // the IPv4 header, for the checksums
  size_t ip_hdr_len = 0;
  const unsigned char* l4 = nullptr;  // the protocol's header and payload
  size_t l4_len = 0;
};

// True when the frame holds a whole, unfragmented IPv4 packet of protocol proto (one
// 802.1Q tag at most) with a valid header length; checksums are not looked at.
bool ipv4_frame_parse(const unsigned char* frame, size_t len, uint8_t proto, ipv4_view* v);
bool ipv4_checksum_ok(const ipv4_view& v);

// An IPv4 UDP datagram in a received frame, fields in host order.
struct udp_view {
  bool group_mac = false;  // sent to a multicast or broadcast MAC address
  uint16_t vlan_id = 0;    // 0: untagged or priority-tagged
  uint32_t src_ip = 0, dst_ip = 0;
  uint16_t src_port = 0, dst_port = 0;
  const unsigned char* payload = nullptr;
  size_t len = 0;                     // payload bytes
  const unsigned char* ip = nullptr;  // the IPv4 header, for the checksums
  size_t ip_hdr_len = 0;
};

// True when the frame holds a whole, unfragmented IPv4 UDP datagram (one 802.1Q tag
// at most); checksums are not looked at.
bool udp_frame_parse(const unsigned char* frame, size_t len, udp_view* v);
// Both checksums of a parsed datagram hold (a UDP checksum of 0 means none was sent).
bool udp_checksums_ok(const udp_view& v);

}  // namespace zsim
