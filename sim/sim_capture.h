// Each port's capture memory: a ring in card memory that records every frame on the
// port's wire, both directions, for zorv_dump to read by DMA. The ring's register page
// is shared with the reader; its rd_ack register has side effects (the reader's
// handshake and its announcements of rd_addr), so it is served by request.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim_conn.h"

namespace zsim {

// Registers of the capture page, by 64-bit index.
enum capture_reg : unsigned {
  CAP_VERSION_ID = 0,
  CAP_ENABLE = 1,
  CAP_RESET = 2,
  CAP_BUS_WIDTH = 3,
  CAP_NB_BOUNDARIES = 4,
  CAP_CALIBRATION_DONE = 5,
  CAP_LOW_ADDR = 6,
  CAP_HIGH_ADDR = 7,
  CAP_CONFIGURE_MEMORY = 8,
  CAP_WR_ADDR = 9,
  CAP_RD_ADDR = 10,
  CAP_RD_ACK = 11,
  CAP_WR_OFFSET = 12,
};
constexpr uint64_t CAPTURE_ALIGN = 64;          // record alignment (bus_width)
constexpr size_t CAPTURE_HEADER_BYTES = 11;     // ns, s, length, direction
constexpr uint64_t CAPTURE_ACK_REQUEST = 7;     // rd_ack: asks for the reader role
constexpr uint64_t CAPTURE_ACK_GRANTED = 0x8;   // rd_ack: the role is granted
constexpr uint64_t CAPTURE_ACK_ANNOUNCE = 0x10; // rd_ack: rd_addr holds a new position

struct sim_capture {
  sim_region regs;  // the register page (shared with the reader)
  sim_region mem;   // the ring itself, reachable only by DMA
  uint64_t low = 0; // card address of the ring's first byte
  int32_t tx_delay_ps = 0, rx_delay_ps = 0;
  side_effect_regs side{};  // rd_ack, owner this

  // Taken by the datapath (recording), the device thread (rd_ack, DMA) and the control
  // socket; everything below is under it.
  std::mutex mutex;
  uint64_t wr = 0;      // ring offset of the next record
  uint64_t rd = 0;      // the reader's position as last announced
  uint64_t ack = 0;     // what rd_ack reads
  bool deny = false;    // refuse the reader role (ctl)
  int fail_dmas = 0;    // DMAs still to fail (ctl)
  uint64_t records = 0, bytes = 0, dropped = 0, bad_announcements = 0;

  uint64_t size() const { return mem.size(); }
};

// The port's capture block; false with errno.
bool capture_create(sim_port& port, uint32_t size_mb);
// Records a frame of the port's wire: direction 0 received, 1 transmitted.
void capture_frame(sim_port& port, const unsigned char* frame, size_t len, uint8_t dir);
// KVEL_DUMP_DMA: copies size bytes of the device's card memory from card address start
// into buf; 0 or an errno value.
int capture_dma(sim_device& dev, uint64_t start, uint32_t size, unsigned char* buf);
// "capture K ..." of the control socket; false with the reason in *out.
bool capture_ctl(sim_card& card, const std::vector<std::string>& args, std::string* out);
extern const char CAPTURE_CTL_USAGE[];

}  // namespace zsim
