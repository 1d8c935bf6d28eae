// The Ethernet frame of a TCP control segment that the software sends itself (ACK,
// FIN, RST), built from the segment's TX descriptor.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tcp_pkt_if.h"

namespace vyxtcp {

constexpr int ETH_HDR_BYTES = 14;
constexpr int VLAN_TAG_BYTES = 4;
constexpr int IPV4_HDR_BYTES = 20;
constexpr int TCP_HDR_BYTES = 20;
// The largest payload accepted: one segment of the default MSS. The engine's control
// segments carry none.
constexpr int TCP_CTRL_MAX_PAYLOAD = 1460;
constexpr int TCP_CTRL_FRAME_MAX =
    ETH_HDR_BYTES + VLAN_TAG_BYTES + IPV4_HDR_BYTES + TCP_HDR_BYTES + TCP_CTRL_MAX_PAYLOAD;

// Who sends the frame: the interface MAC, the local address (host order) and the VLAN
// id of the 802.1Q tag (0: untagged).
struct frame_source {
  const uint8_t* mac;
  uint32_t ip;
  uint16_t vlan_id;
};

// Writes the frame for desc and desc.length bytes of payload (options included) into
// out, which holds TCP_CTRL_FRAME_MAX bytes. Returns the frame length, or -1 for a
// length beyond TCP_CTRL_MAX_PAYLOAD, a missing payload, or a header-length nibble that
// the payload cannot fill.
int build_control_frame(uint8_t* out, const frame_source& src, const tcp_tx_desc& desc,
                        const void* payload);

// The 16-bit one's-complement sum (RFC 1071) of len bytes added to sum, not folded.
uint32_t ones_sum(const uint8_t* data, size_t len, uint32_t sum);
// The folded, complemented checksum of a running sum.
uint16_t fold_checksum(uint32_t sum);

}  // namespace vyxtcp
