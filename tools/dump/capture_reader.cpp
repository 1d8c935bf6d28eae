#include "capture_reader.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "capture_regs.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"

namespace zdump {

int open_driver(const char* path) {
  const int fd = kvel::kvel_dev_open(path);
  if (fd < 0) fprintf(stderr, "Cannot open driver name %s: %s\n", path, strerror(errno));
  return fd;
}

namespace {

using kvel::mmio_read64;
using kvel::mmio_write64;

constexpr int ACK_POLLS = 10;
constexpr uint64_t OVERSIZE_AVAIL = 0xFFFFFFC0;

struct dma_request {
  uint64_t start;
  uint32_t size;
  uint32_t zero;
};

bool open_channel(dma_channel& ch, const char* path) {
  ch.fd = open_driver(path);
  if (ch.fd < 0) return false;
  void* m = kvel::kvel_dev_mmap(ch.fd, DMA_BUFFER_BYTES, PROT_READ, kvel::KVEL_MMAP_DUMP_DMA);
  if (m == MAP_FAILED) {
    fprintf(stderr, "Mapping of the DMA memory failed %s\n", strerror(errno));
    return false;
  }
  ch.buf = static_cast<const unsigned char*>(m);
  return true;
}

bool alloc_block(dump_device* dev, int port) {
  uint32_t arg[2] = {uint32_t(port) & 0xFF, uint32_t(kvel::KVEL_BLOCK_DUMP)};
  if (kvel::kvel_dev_ioctl(dev->ctl_fd, kvel::KVEL_ALLOC_DUMP_BLOCK, arg) < 0) {
    fprintf(stderr, "Cannot allocate dump block: %s\n", strerror(errno));
    return false;
  }
  void* m = kvel::kvel_dev_mmap(dev->ctl_fd, kvel::KVEL_PAGE_SIZE, PROT_READ | PROT_WRITE,
                                kvel::KVEL_MMAP_BLOCK_REGS);
  if (m == MAP_FAILED) {
    fprintf(stderr, "Mapping of config regs failed %s\n", strerror(errno));
    return false;
  }
  dev->regs = static_cast<volatile void*>(m);
  dev->low = mmio_read64(dev->regs, REG_LOW_ADDR);
  dev->high = mmio_read64(dev->regs, REG_HIGH_ADDR);
  dev->align = uint8_t(mmio_read64(dev->regs, REG_BUS_WIDTH));
  return true;
}

bool check_block(const dump_device* dev) {
  unsigned major = unsigned(mmio_read64(dev->regs, REG_VERSION_ID) >> 16) & 0xFF;
  if (major != 0) {
    fprintf(stderr, "Error version major %d expected, %u found in the firmware\n", 0, major);
    errno = EINVAL;
    return false;
  }
  if (dev->high <= dev->low || (dev->high - dev->low) % DMA_LINE) {
    fprintf(stderr, "Capture ring 0x%llx..0x%llx is not a whole number of %u-byte lines\n",
            (unsigned long long)dev->low, (unsigned long long)dev->high, DMA_LINE);
    errno = EINVAL;
    return false;
  }
  return true;
}

// Asks for the reader role; the rd_ack value that shows it granted, or 0.
uint64_t request_reader(dump_device* dev) {
  mmio_write64(dev->regs, REG_RD_ACK, ACK_REQUEST);
  for (int i = 0; i < ACK_POLLS; ++i) {
    uint64_t v = mmio_read64(dev->regs, REG_RD_ACK);
    if (v & ACK_GRANTED) return v;
  }
  return 0;
}

// The ring offset of a position that may have run one ring below 0 or past the end.
uint64_t into_ring(const dump_device* dev, int64_t pos) {
  int64_t r = int64_t(dev->ring_size());
  return uint64_t(pos < 0 ? pos + r : pos >= r ? pos - r : pos);
}

// A position outside the ring would make every later length nonsense, and the cursor
// would never meet the ring's end to wrap: false after a message.
bool inside_ring(const dump_device* dev, uint64_t pos, const char* which) {
  if (pos < dev->ring_size()) return true;
  fprintf(stderr, "Capture %s position %llu outside the ring of %llu bytes\n", which,
          (unsigned long long)pos, (unsigned long long)dev->ring_size());
  return false;
}

}  // namespace

dump_device* open_dump_device(const char* path, int port) {
  auto* dev = new dump_device;
  dev->ctl_fd = open_driver(path);
  if (dev->ctl_fd >= 0 && open_channel(dev->ch[0], path) && open_channel(dev->ch[1], path) &&
             alloc_block(dev, port) && check_block(dev)) {
    return dev;
  }
  int err = errno;
  close_dump_device(dev);
  errno = err;
  return nullptr;
}

void close_dump_device(dump_device* dev) {
  kvel::kvel_dev_unmap(dev->regs, kvel::KVEL_PAGE_SIZE);
  for (dma_channel& ch : dev->ch) {
    kvel::kvel_dev_unmap(ch.buf, DMA_BUFFER_BYTES);
    kvel::kvel_dev_close_if_open(ch.fd);
  }
  kvel::kvel_dev_close_if_open(dev->ctl_fd);
  delete dev;
}

int clear_capture_memory(dump_device* dev) {
  uint64_t v = request_reader(dev);
  if (!v) return -5;
  mmio_write64(dev->regs, REG_RD_ADDR, mmio_read64(dev->regs, REG_WR_ADDR));
  mmio_write64(dev->regs, REG_RD_ACK, (v & ~uint64_t(0xFF)) | (v & 0xE8) | ACK_ANNOUNCE | 1);
  return 0;
}

int dump_start(dump_device* dev) {
  if (!request_reader(dev)) {
    fprintf(stderr, "The card refused the reader role of its capture memory\n");
    return -1;
  }
  uint64_t rd = mmio_read64(dev->regs, REG_RD_ADDR);
  if (!inside_ring(dev, rd, "read") ||
      !inside_ring(dev, mmio_read64(dev->regs, REG_WR_OFFSET), "write"))
    return -1;
  dev->started = true;
  dev->cursor = dev->published = rd;
  dev->consumer.store(int64_t(rd));
  return 0;
}

void dump_hand_back(dump_device* dev) {
  if (!dev->started) return;
  int64_t consumer = dev->consumer.load();
  if (uint64_t(consumer) == dev->published) return;
  dev->published = uint64_t(consumer);
  mmio_write64(dev->regs, REG_RD_ADDR, into_ring(dev, consumer));
  mmio_write64(dev->regs, REG_RD_ACK, ACK_ANNOUNCE);
}

int dump_do_dma(dump_device* dev) {
  dump_hand_back(dev);
  dma_channel& ch = dev->ch[dev->next];
  if (ch.full.load(std::memory_order_acquire)) return 0;
  uint64_t w = mmio_read64(dev->regs, REG_WR_OFFSET);
  if (!inside_ring(dev, w, "write")) return -1;
  if (w == dev->cursor) return 0;
  uint64_t a = dev->low + w, b = dev->low + dev->cursor;
  if (a < b) a = dev->high;  // the card has wrapped: read up to the ring's end first
  uint64_t avail = std::min<uint64_t>(a - b, OVERSIZE_AVAIL);
  uint64_t start = b / DMA_LINE * DMA_LINE;
  uint64_t off = b - start;
  uint64_t end = (b + avail + DMA_LINE - 1) / DMA_LINE * DMA_LINE;
  uint64_t size = std::min<uint64_t>(end - start, DMA_BUFFER_BYTES);
  dma_request req{start, uint32_t(size), 0};
  int rc = kvel::kvel_dev_ioctl(ch.fd, kvel::KVEL_DUMP_DMA, &req);
  if (rc < 0) {
    fprintf(stderr, "Error ioctl %d %s\n", rc, strerror(errno));
    return -1;
  }
  uint64_t len = std::min<uint64_t>(size - off, avail);
  ch.off = uint32_t(off);
  ch.pos = dev->cursor;
  ch.len = uint32_t(len);
  dev->next ^= 1;
  ch.full.store(1, std::memory_order_release);
  dev->cursor += len;
  if (dev->low + dev->cursor == dev->high) dev->cursor = 0;
  return 1;
}

}  // namespace zdump
