// What the card's TCP engine makes of a session's bytes: the frame a TX descriptor and
// the options and payload after it become, the parse of a received segment, the
// receive slot's header, and the connection state the card keeps for a bound session.
#pragma once
#include <cstddef>
#include <cstdint>

#include "sim_frame.h"

namespace zsim {

// The 32-byte TCP TX descriptor (little-endian; addresses and ports in host order).
struct tcp_tx_desc {
  uint16_t length;  // bytes after the 20-byte base header: options and payload
  uint16_t flags;   // bit 15: log this send's time
  uint16_t remote_port;
  uint16_t local_port;
  uint32_t remote_ip;
  uint32_t ack;
  uint32_t seq;
  unsigned char next_hop_mac[6];
  uint16_t window;
  uint8_t tcp_flags;
  uint8_t reserved;
  uint8_t ttl;
  uint8_t slot_hdr;  // bits 7..4 VLAN slot, bits 3..0 TCP header length in words
};
static_assert(sizeof(tcp_tx_desc) == 32);

constexpr uint8_t TCP_FIN = 0x01, TCP_SYN = 0x02, TCP_RST = 0x04, TCP_ACK = 0x10;
constexpr uint8_t TCP_CONTROL_FLAGS = TCP_SYN | TCP_FIN | TCP_RST;
constexpr size_t TCP_HDR_BYTES = 20;     // without options
constexpr size_t TCP_SLOT_HDR_LEN = 16;  // length, receive time, software flag
constexpr size_t TCP_MAX_FRAME =
    ETH_HDR_BYTES + VLAN_TAG_BYTES + IPV4_HDR_BYTES + TCP_HDR_BYTES + 4064;

// Where a connection's frames come from and go to, as KVEL_TCP_SESSION_SETUP binds it.
struct tcp_binding {
  bool bound = false;
  uint32_t remote_ip = 0;
  uint16_t local_port = 0, remote_port = 0;
  uint8_t vlan_slot = 0;
};

// The card's view of a bound connection. Sequence numbers are known once a segment
// has shown them.
struct tcp_state {
  tcp_binding bind;
  bool snd_known = false, rcv_known = false;
  uint32_t snd_nxt = 0, rcv_nxt = 0;
  bool mac_known = false;
  unsigned char peer_mac[6] = {};  // next hop, from the last descriptor or frame
  // The furthest acknowledgement the connection has sent (the software acknowledges
  // what it has taken from the ring, which may lie beyond the card's rcv_nxt).
  bool ack_sent_known = false;
  uint32_t ack_sent = 0;
  // The window and TTL of the last segment sent through the TX window or the doorbell,
  // which the card's own probes repeat.
  uint16_t win_sent = 0;
  uint8_t ttl_sent = 64;
  bool rst_armed = false;
  uint8_t rst_ttl = 64;
  // The acknowledgement block's contents, written whole at each change.
  bool ack_known = false;
  uint32_t ack = 0;
  uint16_t win = 0;
  uint8_t dup_acks = 0;
  // Stay set once raised: the card cannot tell when the software has read the segment.
  uint8_t ack_flags = 0;
};
constexpr uint8_t TXACK_FIN_WAITING = 1u << 0, TXACK_RST_WAITING = 1u << 1;
// The card gave up retransmitting: the software is to reset the connection.
constexpr uint8_t TXACK_RESET_REQUEST = 1u << 2;

// a after b in sequence space.
inline bool seq_after(uint32_t a, uint32_t b) { return int32_t(a - b) > 0; }

// The acknowledgement the card's own segments carry: what has been received by now, or
// the furthest one the connection has sent.
inline uint32_t tcp_ack_now(const tcp_state& t) { return t.rcv_known ? t.rcv_nxt : t.ack_sent; }

// Window lines a send takes, from its first line.
int tcp_send_lines(const unsigned char* first_line);
// False when the binding is one the card cannot take.
bool tcp_binding_parse(const unsigned char* arg, tcp_binding* b);

// The addresses a segment leaves with, beside those of its descriptor.
struct tcp_frame_addr {
  const unsigned char* src_mac;
  uint32_t src_ip;
  uint16_t vlan_id;  // 0: untagged
};
// Builds into frame (TCP_MAX_FRAME bytes) the frame of a send whose lines (the first
// starting with the descriptor) are given. Its length, padded to the Ethernet minimum;
// 0 when the descriptor's header length does not fit its length.
size_t tcp_frame_build(const unsigned char* lines, const tcp_frame_addr& a, unsigned char* frame);
// Sequence space a descriptor's segment takes: payload, SYN and FIN.
uint32_t tcp_desc_seq_len(const tcp_tx_desc& d);
// Gives a built frame's segment, when it carries ACK, the acknowledgement number ack
// and the checksum that goes with it.
void tcp_frame_restamp_ack(unsigned char* frame, size_t len, uint32_t ack);

// A TCP segment in a received frame, fields in host order.
struct tcp_view {
  ipv4_view ip;
  uint16_t src_port = 0, dst_port = 0;
  uint32_t seq = 0, ack = 0;
  uint16_t window = 0;
  uint8_t flags = 0;
  const unsigned char* tcp = nullptr;  // header and payload
  size_t tcp_len = 0;
  size_t payload_len = 0;
};
bool tcp_frame_parse(const unsigned char* frame, size_t len, tcp_view* v);
bool tcp_checksums_ok(const tcp_view& v);
// Sequence space the segment takes: payload, SYN and FIN.
uint32_t tcp_seq_len(const tcp_view& v);

// The slot header of a segment (TCP_SLOT_HDR_LEN bytes, length field left 0).
void tcp_slot_header(uint64_t rx_time, bool software, unsigned char* hdr);

}  // namespace zsim
