// A received TCP segment, parsed once from the ring's network-order bytes into a
// host-order plain struct. The ring is the card's memory: nothing here writes to it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tcp_seq.h"

namespace vyxtcp {

constexpr uint8_t TCP_FIN = 0x01;
constexpr uint8_t TCP_SYN = 0x02;
constexpr uint8_t TCP_RST = 0x04;
constexpr uint8_t TCP_ACK = 0x10;

constexpr int TCP_BASE_HDR_BYTES = 20;
constexpr uint8_t TCP_MAX_WSCALE = 14;  // larger shifts would scale past 2^30

constexpr uint8_t TCP_OPT_END = 0;
constexpr uint8_t TCP_OPT_NOP = 1;
constexpr uint8_t TCP_OPT_MSS = 2;
constexpr uint8_t TCP_OPT_WSCALE = 3;
constexpr uint8_t TCP_OPT_SACK_PERMITTED = 4;
constexpr uint8_t TCP_OPT_SACK = 5;
constexpr uint8_t TCP_OPT_TIMESTAMP = 8;

// The options the engine acts on. mss 0: none given (a value of 0 counts as none, so
// the default stays).
struct tcp_options {
  uint16_t mss = 0;
  uint8_t has_wscale = 0;
  uint8_t wscale = 0;  // clamped to TCP_MAX_WSCALE
};

struct tcp_segment {
  uint16_t src_port = 0;
  uint16_t dst_port = 0;
  tcp_seq seq;
  tcp_seq ack;
  uint8_t data_offset = 0;  // in 32-bit words
  uint8_t flags = 0;
  uint16_t window = 0;
  const uint8_t* payload = nullptr;  // in the ring, after the header
  uint32_t payload_len = 0;
  tcp_options opt;

  bool has(uint8_t flag) const { return (flags & flag) != 0; }
  // The sequence number that a FIN on this segment occupies: after its payload.
  tcp_seq fin_seq() const { return seq + payload_len; }
};

// Reads option bytes without ever passing their end: past the end reads as
// end-of-options.
struct tcp_option_reader {
  const uint8_t* p;
  size_t len;
  size_t pos = 0;

  uint8_t byte(size_t at) const { return at < len ? p[at] : TCP_OPT_END; }
};

// Whether optlen is the exact length of a known kind; other kinds need at least their
// kind and length bytes.
inline bool tcp_option_length_ok(uint8_t kind, uint8_t optlen) {
  switch (kind) {
    case TCP_OPT_MSS: return optlen == 4;
    case TCP_OPT_WSCALE: return optlen == 3;
    case TCP_OPT_SACK_PERMITTED: return optlen == 2;
    case TCP_OPT_TIMESTAMP: return optlen == 10;
    case TCP_OPT_SACK: return optlen >= 10 && (optlen - 2) % 8 == 0;
    default: return optlen >= 2;
  }
}

// Walks the option bytes once. A malformed option (a length that is wrong for its
// kind, below 2, or beyond the bytes left) ends the walk: what follows it cannot be
// framed. Options before it stay taken.
inline tcp_options tcp_parse_options(const uint8_t* p, size_t len) {
  tcp_options out;
  tcp_option_reader r{p, len};
  bool mss_seen = false;  // only the first MSS option counts, a 0 included
  while (r.pos < r.len) {
    const uint8_t kind = r.byte(r.pos);
    if (kind == TCP_OPT_END) break;
    if (kind == TCP_OPT_NOP) {
      r.pos += 1;
      continue;
    }
    const uint8_t optlen = r.byte(r.pos + 1);
    if (!tcp_option_length_ok(kind, optlen) || optlen > r.len - r.pos) break;
    if (kind == TCP_OPT_MSS && !mss_seen) {
      mss_seen = true;
      out.mss = uint16_t(r.byte(r.pos + 2) << 8 | r.byte(r.pos + 3));
    }
    if (kind == TCP_OPT_WSCALE && !out.has_wscale) {
      out.has_wscale = 1;
      const uint8_t shift = r.byte(r.pos + 2);
      out.wscale = shift > TCP_MAX_WSCALE ? TCP_MAX_WSCALE : shift;
    }
    r.pos += optlen;
  }
  return out;
}

inline uint16_t tcp_be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t tcp_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Parses len bytes (TCP header and payload) at p. False, with out unspecified, for a
// segment shorter than its header or a data offset below 5.
inline bool tcp_parse_segment(const void* data, size_t len, tcp_segment* out) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (p == nullptr || len < size_t(TCP_BASE_HDR_BYTES)) return false;
  const uint8_t offset = p[12] >> 4;
  const size_t hdr = size_t(offset) * 4;
  if (offset < 5 || hdr > len) return false;
  out->src_port = tcp_be16(p);
  out->dst_port = tcp_be16(p + 2);
  out->seq = tcp_seq(tcp_be32(p + 4));
  out->ack = tcp_seq(tcp_be32(p + 8));
  out->data_offset = offset;
  out->flags = p[13];
  out->window = tcp_be16(p + 14);
  out->payload = p + hdr;
  out->payload_len = uint32_t(len - hdr);
  out->opt = tcp_parse_options(p + TCP_BASE_HDR_BYTES, hdr - TCP_BASE_HDR_BYTES);
  return true;
}

}  // namespace vyxtcp
