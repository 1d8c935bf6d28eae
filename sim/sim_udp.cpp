#include "sim_udp.h"

#include <cstring>

#include "unaligned.h"

namespace zsim {
namespace {

constexpr size_t LINE_BYTES = 64;
constexpr size_t DESC_BYTES = sizeof(udp_tx_desc);
constexpr uint32_t BROADCAST = 0xffffffff;

bool is_multicast(uint32_t ip) { return (ip >> 28) == 0xe; }

}  // namespace

int udp_send_lines(const unsigned char* first_line) {
  size_t len = load_u16(first_line);
  // The payload follows the descriptor directly: lines of 64 bytes after the first 32.
  return int((DESC_BYTES + len + LINE_BYTES - 1) / LINE_BYTES);
}

size_t udp_frame_build(const unsigned char* lines, uint16_t vlan_id, uint16_t ip_id,
                       unsigned char* frame) {
  udp_tx_desc d;
  memcpy(&d, lines, sizeof d);
  size_t at = eth_header_write(frame, d.dst_mac, d.src_mac, vlan_id);
  unsigned char* ip = frame + at;
  unsigned char* udp = ip + IPV4_HDR_BYTES;
  memcpy(udp + UDP_HDR_BYTES, lines + DESC_BYTES, d.length);
  udp_header_write(udp, d.src_ip, d.dst_ip, d.src_port, d.dst_port, d.length);
  ipv4_header_write(ip, d.src_ip, d.dst_ip, IP_PROTO_UDP, uint16_t(UDP_HDR_BYTES + d.length), ip_id,
                    d.ttl);
  return eth_pad(frame, at + IPV4_HDR_BYTES + UDP_HDR_BYTES + d.length);
}

// {u32 0, u32 match, u16 port, u16 0, u32 0, u8 VLAN slot, 3 bytes 0, u32 mask}
bool udp_filter_parse(const unsigned char* arg, udp_filter* f) {
  uint8_t slot = arg[16];
  if (slot > VLAN_SLOTS) return false;
  f->set = true;
  f->match = load_u32(arg + 4);
  f->port = load_u16(arg + 8);
  f->vlan_slot = slot;
  f->mask = load_u32(arg + 20);
  return true;
}

bool udp_filter_matches(const udp_filter& f, const udp_view& v, uint8_t vlan_slot) {
  return f.set && (v.dst_ip & f.mask) == (f.match & f.mask) &&
         (f.port == 0 || f.port == v.dst_port) && f.vlan_slot == vlan_slot;
}

bool udp_for_every_match(const udp_view& v) {
  return v.group_mac || is_multicast(v.dst_ip) || v.dst_ip == BROADCAST;
}

// {u16 length, u64 time, u32 source, u16 source port, u32 destination, u16 port, 0...}
void udp_slot_header(const udp_view& v, uint64_t rx_time, unsigned char* hdr) {
  memset(hdr, 0, UDP_SLOT_HDR_LEN);
  memcpy(hdr + 2, &rx_time, sizeof rx_time);
  memcpy(hdr + 10, &v.src_ip, sizeof v.src_ip);
  memcpy(hdr + 14, &v.src_port, sizeof v.src_port);
  memcpy(hdr + 16, &v.dst_ip, sizeof v.dst_ip);
  memcpy(hdr + 20, &v.dst_port, sizeof v.dst_port);
}

}  // namespace zsim
