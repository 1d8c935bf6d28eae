#include "sim_frame.h"

#include <cstring>

namespace zsim {
namespace {

constexpr uint8_t IPV4_VERSION_IHL = 0x45;  // version 4, five 32-bit words
constexpr size_t IPV4_TTL = 8, IPV4_PROTO = 9, IPV4_CSUM = 10;
constexpr size_t UDP_CSUM = 6;

// Where the IPv4 header starts, or 0 when the frame carries no IPv4.
size_t ipv4_start(const unsigned char* frame, size_t len, ipv4_view* v) {
  if (len < ETH_HDR_BYTES) return 0;
  v->group_mac = frame[0] & 1;
  v->src_mac = frame + ETH_ADDR_BYTES;
  size_t at = 2 * ETH_ADDR_BYTES;
  uint16_t type = load_be16(frame + at);
  if (type == ETHERTYPE_VLAN) {
    if (len < ETH_HDR_BYTES + VLAN_TAG_BYTES) return 0;
    v->vlan_id = load_be16(frame + at + 2) & VLAN_ID_MASK;
    at += VLAN_TAG_BYTES;
    type = load_be16(frame + at);
  }
  return type == ETHERTYPE_IPV4 ? at + 2 : 0;
}

}  // namespace

uint32_t csum_add(uint32_t sum, const unsigned char* p, size_t n) {
  uint64_t s = sum;
  for (; n >= 2; p += 2, n -= 2) s += load_be16(p);
  if (n) s += uint32_t(p[0]) << 8;
  while (s >> 32) s = (s & 0xffffffff) + (s >> 32);
  return uint32_t(s);
}

uint16_t csum_fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return uint16_t(~sum);
}

uint32_t l4_pseudo_sum(uint32_t src_ip, uint32_t dst_ip, uint8_t proto, uint16_t l4_len) {
  return (src_ip >> 16) + (src_ip & 0xffff) + (dst_ip >> 16) + (dst_ip & 0xffff) + proto + l4_len;
}

size_t eth_header_write(unsigned char* frame, const unsigned char* dst_mac,
                        const unsigned char* src_mac, uint16_t vlan_id) {
  memcpy(frame, dst_mac, ETH_ADDR_BYTES);
  memcpy(frame + ETH_ADDR_BYTES, src_mac, ETH_ADDR_BYTES);
  size_t at = 2 * ETH_ADDR_BYTES;
  if (vlan_id) {
    store_be16(frame + at, ETHERTYPE_VLAN);
    store_be16(frame + at + 2, vlan_id & VLAN_ID_MASK);
    at += VLAN_TAG_BYTES;
  }
  store_be16(frame + at, ETHERTYPE_IPV4);
  return at + 2;
}

void ipv4_header_write(unsigned char* ip, uint32_t src_ip, uint32_t dst_ip, uint8_t proto,
                       uint16_t l4_len, uint16_t id, uint8_t ttl) {
  memset(ip, 0, IPV4_HDR_BYTES);
  ip[0] = IPV4_VERSION_IHL;
  store_be16(ip + 2, uint16_t(IPV4_HDR_BYTES + l4_len));
  store_be16(ip + 4, id);
  // Don't fragment, as the host kernel marks its own datagrams and segments on such a link.
  store_be16(ip + 6, IPV4_FLAG_DF);
  ip[IPV4_TTL] = ttl;
  ip[IPV4_PROTO] = proto;
  store_be32(ip + 12, src_ip);
  store_be32(ip + 16, dst_ip);
  store_be16(ip + IPV4_CSUM, csum_fold(csum_add(0, ip, IPV4_HDR_BYTES)));
}

void udp_header_write(unsigned char* udp, uint32_t src_ip, uint32_t dst_ip, uint16_t src_port,
                      uint16_t dst_port, size_t payload_len) {
  uint16_t udp_len = uint16_t(UDP_HDR_BYTES + payload_len);
  store_be16(udp, src_port);
  store_be16(udp + 2, dst_port);
  store_be16(udp + 4, udp_len);
  store_be16(udp + UDP_CSUM, 0);
  uint16_t csum =
      csum_fold(csum_add(l4_pseudo_sum(src_ip, dst_ip, IP_PROTO_UDP, udp_len), udp, udp_len));
  // 0 would say "no checksum": the same sum is sent as its other form.
  store_be16(udp + UDP_CSUM, csum ? csum : 0xffff);
}

size_t eth_pad(unsigned char* frame, size_t len) {
  if (len >= ETH_MIN_FRAME) return len;
  memset(frame + len, 0, ETH_MIN_FRAME - len);
  return ETH_MIN_FRAME;
}

bool ipv4_frame_parse(const unsigned char* frame, size_t len, uint8_t proto, ipv4_view* v) {
  size_t at = ipv4_start(frame, len, v);
  if (at == 0 || len - at < IPV4_HDR_BYTES) return false;
  const unsigned char* ip = frame + at;
  size_t ihl = size_t(ip[0] & 0xf) * 4;
  size_t total = load_be16(ip + 2);
  if (ip[0] >> 4 != 4 || ihl < IPV4_HDR_BYTES || total < ihl || total > len - at ||
      ip[IPV4_PROTO] != proto)
    return false;
  if (load_be16(ip + 6) & (IPV4_FLAG_MF | IPV4_FRAG_OFFSET)) return false;
  v->ip = ip;
  v->ip_hdr_len = ihl;
  v->src_ip = load_be32(ip + 12);
  v->dst_ip = load_be32(ip + 16);
  v->l4 = ip + ihl;
  v->l4_len = total - ihl;
  return true;
}

bool ipv4_checksum_ok(const ipv4_view& v) {
  return csum_fold(csum_add(0, v.ip, v.ip_hdr_len)) == 0;
}

bool udp_frame_parse(const unsigned char* frame, size_t len, udp_view* v) {
  ipv4_view ip;
  if (!ipv4_frame_parse(frame, len, IP_PROTO_UDP, &ip) || ip.l4_len < UDP_HDR_BYTES) return false;
  const unsigned char* udp = ip.l4;
  size_t udp_len = load_be16(udp + 4);
  if (udp_len < UDP_HDR_BYTES || udp_len > ip.l4_len) return false;
  v->group_mac = ip.group_mac;
  v->vlan_id = ip.vlan_id;
  v->ip = ip.ip;
  v->ip_hdr_len = ip.ip_hdr_len;
  v->src_ip = ip.src_ip;
  v->dst_ip = ip.dst_ip;
  v->src_port = load_be16(udp);
  v->dst_port = load_be16(udp + 2);
  v->payload = udp + UDP_HDR_BYTES;
  v->len = udp_len - UDP_HDR_BYTES;
  return true;
}

bool udp_checksums_ok(const udp_view& v) {
  if (!ipv4_checksum_ok({.ip = v.ip, .ip_hdr_len = v.ip_hdr_len})) return false;
  const unsigned char* udp = v.payload - UDP_HDR_BYTES;
  if (load_be16(udp + UDP_CSUM) == 0) return true;
  uint16_t udp_len = uint16_t(UDP_HDR_BYTES + v.len);
  return csum_fold(
             csum_add(l4_pseudo_sum(v.src_ip, v.dst_ip, IP_PROTO_UDP, udp_len), udp, udp_len)) == 0;
}

}  // namespace zsim
