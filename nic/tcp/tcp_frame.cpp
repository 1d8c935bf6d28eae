#include "tcp_frame.h"

#include <cstring>

namespace vyxtcp {
namespace {

constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr uint16_t VLAN_ID_MASK = 0x0fff;
constexpr uint8_t IPV4_VERSION_IHL = 0x45;
constexpr uint16_t IPV4_DONT_FRAGMENT = 0x4000;
constexpr uint8_t IPPROTO_TCP_NUMBER = 6;
constexpr int TCP_MIN_WORDS = 5;

uint8_t* put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
  return p + 2;
}

uint8_t* put32(uint8_t* p, uint32_t v) {
  put16(p, uint16_t(v >> 16));
  return put16(p + 2, uint16_t(v));
}

uint8_t* put_ethernet(uint8_t* p, const frame_source& src, const tcp_tx_desc& desc) {
  memcpy(p, desc.next_hop_mac, 6);
  memcpy(p + 6, src.mac, 6);
  p += 12;
  if (src.vlan_id != 0) {
    p = put16(p, ETHERTYPE_VLAN);
    p = put16(p, src.vlan_id & VLAN_ID_MASK);  // priority 0
  }
  return put16(p, ETHERTYPE_IPV4);
}

void put_ipv4(uint8_t* ip, const frame_source& src, const tcp_tx_desc& desc) {
  uint8_t* p = ip;
  *p++ = IPV4_VERSION_IHL;
  *p++ = 0;
  p = put16(p, uint16_t(IPV4_HDR_BYTES + TCP_HDR_BYTES + desc.length));
  p = put16(p, 0);
  p = put16(p, IPV4_DONT_FRAGMENT);
  *p++ = desc.ttl;
  *p++ = IPPROTO_TCP_NUMBER;
  uint8_t* checksum = p;
  p = put16(p, 0);
  p = put32(p, src.ip);
  put32(p, desc.remote_ip);
  put16(checksum, fold_checksum(ones_sum(ip, IPV4_HDR_BYTES, 0)));
}

void put_tcp(uint8_t* tcp, const tcp_tx_desc& desc, const void* payload) {
  uint8_t* p = tcp;
  p = put16(p, desc.local_port);
  p = put16(p, desc.remote_port);
  p = put32(p, desc.seq);
  p = put32(p, desc.ack);
  *p++ = uint8_t((desc.slot_hdr & 0x0f) << 4);
  *p++ = desc.tcp_flags;
  p = put16(p, desc.window);
  p = put16(p, 0);  // checksum, below
  p = put16(p, 0);  // urgent pointer
  if (desc.length) memcpy(p, payload, desc.length);
}

// The pseudo-header sum is taken from the finished IPv4 header: both addresses follow
// each other at its byte 12.
void put_tcp_checksum(const uint8_t* ip, uint8_t* tcp, int tcp_len) {
  uint32_t sum = ones_sum(ip + 12, 8, 0);
  sum += IPPROTO_TCP_NUMBER + uint32_t(tcp_len);
  put16(tcp + 16, fold_checksum(ones_sum(tcp, size_t(tcp_len), sum)));
}

}  // namespace

uint32_t ones_sum(const uint8_t* data, size_t len, uint32_t sum) {
  for (size_t i = 0; i + 1 < len; i += 2) sum += uint32_t(data[i]) << 8 | data[i + 1];
  if (len & 1) sum += uint32_t(data[len - 1]) << 8;
  return sum;
}

uint16_t fold_checksum(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return uint16_t(~sum);
}

int build_control_frame(uint8_t* out, const frame_source& src, const tcp_tx_desc& desc,
                        const void* payload) {
  const int len = desc.length;
  const int words = desc.slot_hdr & 0x0f;
  // A header that claims options the payload does not hold would make the peer read
  // payload bytes as options, or the frame end inside the header.
  if (len > TCP_CTRL_MAX_PAYLOAD || (len > 0 && !payload) || words < TCP_MIN_WORDS ||
      (words - TCP_MIN_WORDS) * 4 > len)
    return -1;
  uint8_t* ip = put_ethernet(out, src, desc);
  uint8_t* tcp = ip + IPV4_HDR_BYTES;
  put_ipv4(ip, src, desc);
  put_tcp(tcp, desc, payload);
  put_tcp_checksum(ip, tcp, TCP_HDR_BYTES + len);
  return int(tcp - out) + TCP_HDR_BYTES + len;
}

}  // namespace vyxtcp
