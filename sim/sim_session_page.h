// The register page of a session, by byte offset (64-bit registers), and its bits.
// 0x028 (TX flags for the descriptors) and 0x040 (the UDP session flag) are the
// library's to read and write; the card leaves them as they are.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zsim {

constexpr size_t REG_IDENTITY = 0x000;  // kind in bits 31..24, header length in 15..9
constexpr size_t REG_CONTROL = 0x008;
constexpr size_t REG_ACK_DOORBELL = 0x060;  // TCP: ack 31..0, window 47..32, TTL 57..50
constexpr size_t REG_HDR_LEN = 0x070;
constexpr size_t REG_RX_SIZE = 0x100;      // ring lines, as the library last set them
constexpr size_t REG_RX_RDPTR = 0x108;     // the library has freed the ring up to here
constexpr size_t REG_RX_WRPTR = 0x110;     // the card's write position
constexpr size_t REG_RX_DROPPED = 0x118;   // packets the card could not place
constexpr size_t REG_ACK_OFFLOAD = 0x120;  // TCP: 0x2000 once the software hands ACKs over
constexpr uint64_t ACK_OFFLOAD_ON = 0x2000;
constexpr size_t FEEDBACK_TXACK = 64;  // TCP: the acknowledgement block in the feedback page

constexpr uint64_t CONTROL_TX_ENABLE = 1u << 0;
constexpr uint64_t CONTROL_RX_ENABLE = 1u << 1;

constexpr unsigned IDENTITY_KIND_SHIFT = 24;
constexpr unsigned IDENTITY_HDR_LEN_SHIFT = 9;  // a non-zero field makes 0x070 valid
// The session's number on its port: its low nine bits in bits 8..0, the rest in 23..16,
// so that a port may offer more sessions than nine bits can number.
constexpr uint64_t IDENTITY_SLOT_MASK = 0x1ff;
constexpr unsigned IDENTITY_SLOT_HIGH_SHIFT = 16;
constexpr uint64_t IDENTITY_SLOT_HIGH_MASK = 0xff;
constexpr uint64_t MAX_SESSIONS_PER_KIND = (IDENTITY_SLOT_HIGH_MASK + 1) * (IDENTITY_SLOT_MASK + 1);

constexpr uint64_t identity_slot_bits(uint64_t slot) {
  return (slot & IDENTITY_SLOT_MASK) | (slot >> 9 & IDENTITY_SLOT_HIGH_MASK) << IDENTITY_SLOT_HIGH_SHIFT;
}

}  // namespace zsim
