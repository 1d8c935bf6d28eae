// The link from a session's TX and RX state to the hardware session that embeds them,
// and the part of the session register page that UDP, TCP and Ethernet sessions share.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kvel_dev.h"

namespace kvel {

// Session register page, by byte offset (64-bit registers).
constexpr size_t SESSION_REG_IDENTITY = 0x000;  // bits 31..24 the session type
constexpr size_t SESSION_REG_CONTROL = 0x008;
constexpr size_t SESSION_REG_TX_FLAGS = 0x028;
constexpr size_t SESSION_REG_HDR_LEN = 0x070;     // valid when identity bits 9..15 say so
constexpr size_t SESSION_REG_RX_SIZE = 0x100;     // ring lines; 0 stops the ring
constexpr size_t SESSION_REG_RX_RDPTR = 0x108;    // freed up to this line
constexpr size_t SESSION_REG_RX_WRPTR = 0x110;    // the card's write position
constexpr size_t SESSION_REG_RX_DROPPED = 0x118;  // packets the card could not place

constexpr uint64_t SESSION_ID_HDR_LEN_VALID = 0x7full << 9;
constexpr uint32_t SESSION_CTRL_RX_ENABLE = 1u << 1;

// Addresses of the session's own fields, not copies: the session points its TX and RX
// state at itself when it is built, long before set-up fills descriptor and page.
struct session_ref {
  const int* dev_fd = nullptr;
  volatile uint64_t* const* reg = nullptr;
  uint32_t* control = nullptr;  // the session's shadow of the control register

  uint64_t read_reg(size_t offset) const { return mmio_read64(*reg, offset); }
  void write_reg(size_t offset, uint64_t value) const { mmio_write64(*reg, offset, value); }
  void write_control() const { write_reg(SESSION_REG_CONTROL, *control); }
};

}  // namespace kvel
