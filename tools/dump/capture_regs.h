// The card's capture register page: 64-bit registers, by byte offset, and the bits of
// its handshake register.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zdump {

enum capture_reg_offset : size_t {
  REG_VERSION_ID = 0x00,        // bits 23..16: major version
  REG_ENABLE = 0x08,            // 1 capture on, 0 off
  REG_RESET = 0x10,             // writing 1 resets the block
  REG_BUS_WIDTH = 0x18,         // low byte: the record alignment
  REG_NB_BOUNDARIES = 0x20,
  REG_CALIBRATION_DONE = 0x28,
  REG_LOW_ADDR = 0x30,          // card address of the ring's first byte
  REG_HIGH_ADDR = 0x38,         // card address just past its last byte
  REG_CONFIGURE_MEMORY = 0x40,  // bit 1 reads 1 once the ring is configured
  REG_WR_ADDR = 0x48,
  REG_RD_ADDR = 0x50,
  REG_RD_ACK = 0x58,
  REG_WR_OFFSET = 0x60,
};
constexpr uint64_t ACK_REQUEST = 7, ACK_GRANTED = 0x8, ACK_ANNOUNCE = 0x10;
constexpr uint64_t MEMORY_CONFIGURED = 0x2;

}  // namespace zdump
