#include "sim_tcp.h"

#include <cstring>

#include "sim_vlan.h"

namespace zsim {
namespace {

constexpr size_t LINE_BYTES = 64;
constexpr size_t DESC_BYTES = sizeof(tcp_tx_desc);
constexpr size_t TCP_CSUM = 16;
constexpr unsigned HDR_WORDS_MASK = 0xf;

// Writes the checksum of the segment at tcp (tcp_len bytes, its checksum field 0).
void tcp_checksum_write(unsigned char* tcp, uint16_t tcp_len, uint32_t src_ip, uint32_t dst_ip) {
  uint32_t pseudo = l4_pseudo_sum(src_ip, dst_ip, IP_PROTO_TCP, tcp_len);
  store_be16(tcp + TCP_CSUM, csum_fold(csum_add(pseudo, tcp, tcp_len)));
}

}  // namespace

int tcp_send_lines(const unsigned char* first_line) {
  uint16_t len;
  memcpy(&len, first_line, sizeof len);
  // Options and payload follow the descriptor directly, as a UDP payload does.
  return int((DESC_BYTES + len + LINE_BYTES - 1) / LINE_BYTES);
}

// {u32 0, u32 remote IPv4, u16 local port, u16 remote port, u8 VLAN slot, 31 bytes 0}
bool tcp_binding_parse(const unsigned char* arg, tcp_binding* b) {
  uint8_t slot = arg[12];
  if (slot > VLAN_SLOTS) return false;
  b->bound = true;
  memcpy(&b->remote_ip, arg + 4, sizeof b->remote_ip);
  memcpy(&b->local_port, arg + 8, sizeof b->local_port);
  memcpy(&b->remote_port, arg + 10, sizeof b->remote_port);
  b->vlan_slot = slot;
  return true;
}

uint32_t tcp_desc_seq_len(const tcp_tx_desc& d) {
  size_t options = (d.slot_hdr & HDR_WORDS_MASK) * 4u - TCP_HDR_BYTES;
  return uint32_t(d.length - options) + !!(d.tcp_flags & TCP_SYN) + !!(d.tcp_flags & TCP_FIN);
}

size_t tcp_frame_build(const unsigned char* lines, const tcp_frame_addr& a, unsigned char* frame) {
  tcp_tx_desc d;
  memcpy(&d, lines, sizeof d);
  size_t hdr = (d.slot_hdr & HDR_WORDS_MASK) * 4u;
  if (hdr < TCP_HDR_BYTES || hdr - TCP_HDR_BYTES > d.length) return 0;
  size_t at = eth_header_write(frame, d.next_hop_mac, a.src_mac, a.vlan_id);
  unsigned char* ip = frame + at;
  unsigned char* tcp = ip + IPV4_HDR_BYTES;
  uint16_t tcp_len = uint16_t(TCP_HDR_BYTES + d.length);
  store_be16(tcp, d.local_port);
  store_be16(tcp + 2, d.remote_port);
  store_be32(tcp + 4, d.seq);
  store_be32(tcp + 8, d.ack);
  tcp[12] = uint8_t(hdr / 4 << 4);
  tcp[13] = d.tcp_flags;
  store_be16(tcp + 14, d.window);
  store_be16(tcp + TCP_CSUM, 0);
  store_be16(tcp + 18, 0);
  memcpy(tcp + TCP_HDR_BYTES, lines + DESC_BYTES, d.length);
  tcp_checksum_write(tcp, tcp_len, a.src_ip, d.remote_ip);
  ipv4_header_write(ip, a.src_ip, d.remote_ip, IP_PROTO_TCP, tcp_len, 0, d.ttl);
  return eth_pad(frame, at + IPV4_HDR_BYTES + tcp_len);
}

void tcp_frame_restamp_ack(unsigned char* frame, size_t len, uint32_t ack) {
  tcp_view v;
  if (!tcp_frame_parse(frame, len, &v) || !(v.flags & TCP_ACK)) return;
  unsigned char* tcp = frame + (v.tcp - frame);
  store_be32(tcp + 8, ack);
  store_be16(tcp + TCP_CSUM, 0);
  tcp_checksum_write(tcp, uint16_t(v.tcp_len), v.ip.src_ip, v.ip.dst_ip);
}

bool tcp_frame_parse(const unsigned char* frame, size_t len, tcp_view* v) {
  if (!ipv4_frame_parse(frame, len, IP_PROTO_TCP, &v->ip) || v->ip.l4_len < TCP_HDR_BYTES)
    return false;
  const unsigned char* tcp = v->ip.l4;
  size_t hdr = size_t(tcp[12] >> 4) * 4;
  if (hdr < TCP_HDR_BYTES || hdr > v->ip.l4_len) return false;
  v->src_port = load_be16(tcp);
  v->dst_port = load_be16(tcp + 2);
  v->seq = load_be32(tcp + 4);
  v->ack = load_be32(tcp + 8);
  v->flags = tcp[13];
  v->window = load_be16(tcp + 14);
  v->tcp = tcp;
  v->tcp_len = v->ip.l4_len;
  v->payload_len = v->tcp_len - hdr;
  return true;
}

bool tcp_checksums_ok(const tcp_view& v) {
  if (!ipv4_checksum_ok(v.ip)) return false;
  uint32_t pseudo = l4_pseudo_sum(v.ip.src_ip, v.ip.dst_ip, IP_PROTO_TCP, uint16_t(v.tcp_len));
  return csum_fold(csum_add(pseudo, v.tcp, v.tcp_len)) == 0;
}

uint32_t tcp_seq_len(const tcp_view& v) {
  return uint32_t(v.payload_len) + !!(v.flags & TCP_SYN) + !!(v.flags & TCP_FIN);
}

// {u16 length, u64 time, u16 0, u16 software flag}
void tcp_slot_header(uint64_t rx_time, bool software, unsigned char* hdr) {
  memset(hdr, 0, TCP_SLOT_HDR_LEN);
  memcpy(hdr + 2, &rx_time, sizeof rx_time);
  uint16_t flag = software;
  memcpy(hdr + 14, &flag, sizeof flag);
}

}  // namespace zsim
