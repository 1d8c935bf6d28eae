#include "capture_control.h"

#include <unistd.h>

#include <cstdio>

#include "capture_regs.h"
#include "kvel_dev.h"

namespace zdump {
namespace {

using kvel::mmio_read64;
using kvel::mmio_write64;

constexpr uint64_t RING_PAGE = 4096;
constexpr uint64_t BOUNDARIES = 4;
constexpr useconds_t CONFIGURE_WAIT_US = 1000;  // the card configures the ring meanwhile

}  // namespace

void print_capture_regs(const dump_device* dev) {
  static const char* const LINES[] = {
      "version_id          = 0x%lx\n", "enable              = 0x%lx\n",
      "reset               = 0x%lx\n", "bus_width           = 0x%lx\n",
      "nb_boundaries       = 0x%lx\n", "calibration_done    = 0x%lx\n",
      "low_addr            = 0x%lx\n", "high_addr           = 0x%lx\n",
      "configure_memory    = 0x%lx\n", "wr_addr             = 0x%lx\n",
      "rd_addr             = 0x%lx\n", "rd_ack              = 0x%lx\n",
  };
  size_t offset = REG_VERSION_ID;
  for (const char* line : LINES) {
    printf(line, (unsigned long)mmio_read64(dev->regs, offset));
    offset += 8;
  }
}

int set_capture_enable(dump_device* dev, uint64_t value) {
  if (value > 1) return -1;
  mmio_write64(dev->regs, REG_ENABLE, value);
  return 0;
}

int configure_capture_memory(dump_device* dev, uint64_t low, uint64_t high, uint64_t flag) {
  if (high < low || high - low < RING_PAGE) {
    fputs("Error: high_addr < low_addr+4096\n", stderr);
    return -1;
  }
  if (low % RING_PAGE || high % RING_PAGE) {
    fputs("Error high_addr&0xff != 0 || low_addr&0xff != 0\n", stderr);
    return -1;
  }
  mmio_write64(dev->regs, REG_LOW_ADDR, low);
  mmio_write64(dev->regs, REG_HIGH_ADDR, high);
  mmio_write64(dev->regs, REG_NB_BOUNDARIES, BOUNDARIES);
  mmio_write64(dev->regs, REG_CONFIGURE_MEMORY, (flag & 1) * 4 + 1);
  usleep(CONFIGURE_WAIT_US);
  if (!capture_configured(dev)) {
    fputs("Error configure memory\n", stderr);
    return -1;
  }
  dev->low = low;
  dev->high = high;
  return 0;
}

int disable_capture(dump_device* dev) {
  set_capture_enable(dev, 0);
  mmio_write64(dev->regs, REG_RESET, 1);
  return 0;
}

bool capture_configured(const dump_device* dev) {
  return mmio_read64(dev->regs, REG_CONFIGURE_MEMORY) & MEMORY_CONFIGURED;
}

}  // namespace zdump
