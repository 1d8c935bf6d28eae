// The check of a SYN frame that a listener descriptor hands over: the frame comes from
// the wire through the driver, so every length in it is checked against what was read.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tcp_frame.h"
#include "tcp_segment.h"

namespace vyxtcp {

constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr uint8_t IPPROTO_TCP_NUM = 6;

// Offset of the IPv4 header in an Ethernet frame with at most one 802.1Q tag, or -1
// when the frame carries no IPv4.
inline int syn_frame_ip_offset(const uint8_t* frame, size_t len) {
  if (len < size_t(ETH_HDR_BYTES)) return -1;
  int at = ETH_HDR_BYTES;
  uint16_t type = tcp_be16(frame + 12);
  if (type == ETHERTYPE_VLAN) {
    if (len < size_t(ETH_HDR_BYTES + VLAN_TAG_BYTES)) return -1;
    type = tcp_be16(frame + 16);
    at += VLAN_TAG_BYTES;
  }
  return type == ETHERTYPE_IPV4 ? at : -1;
}

// The TCP checksum over seg_len bytes at tcp with the pseudo-header of ip.
inline bool tcp_checksum_ok(const uint8_t* ip, const uint8_t* tcp, size_t seg_len) {
  uint32_t sum = ones_sum(ip + 12, 8, 0) + IPPROTO_TCP_NUM + uint32_t(seg_len);
  return fold_checksum(ones_sum(tcp, seg_len, sum)) == 0;
}

// 0 for an acceptable SYN in the len bytes read at frame: IPv4 (tagged or not) with a
// valid header checksum, protocol TCP, total length of 40 or more within the bytes
// read, a valid TCP checksum, SYN set and ACK clear. Else -1. The frame is not changed.
inline int check_syn_frame(const void* data, size_t len) {
  const auto* frame = static_cast<const uint8_t*>(data);
  const int at = syn_frame_ip_offset(frame, len);
  if (at < 0 || len < size_t(at) + IPV4_HDR_BYTES) return -1;
  const uint8_t* ip = frame + at;
  const size_t ihl = size_t(ip[0] & 0x0f) * 4;
  const size_t total = tcp_be16(ip + 2);
  if (ihl < size_t(IPV4_HDR_BYTES) || total < ihl + TCP_HDR_BYTES || total > len - size_t(at))
    return -1;
  if (fold_checksum(ones_sum(ip, ihl, 0)) != 0 || ip[9] != IPPROTO_TCP_NUM) return -1;
  if (!tcp_checksum_ok(ip, ip + ihl, total - ihl)) return -1;
  tcp_segment seg;
  if (!tcp_parse_segment(ip + ihl, total - ihl, &seg)) return -1;
  return seg.has(TCP_SYN) && !seg.has(TCP_ACK) ? 0 : -1;
}

}  // namespace vyxtcp
