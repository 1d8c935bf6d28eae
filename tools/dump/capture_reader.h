// The capture memory of one port: its capture block opened on the card's device node,
// its register page checked, and the capture ring read by DMA into two channels that
// the reader fills in turn and the packet thread empties (record_extract.h). Only the
// main thread calls these routines.
#pragma once
#include <atomic>
#include <cstdint>

namespace zdump {

constexpr uint32_t DMA_BUFFER_BYTES = 1u << 20;
constexpr unsigned DMA_LINE = 64;  // every transfer covers whole lines of card memory

struct dma_channel {
  int fd = -1;                         // a descriptor of its own for the DMA buffer
  const unsigned char* buf = nullptr;  // the 1 MiB DMA buffer (read-only mapping)
  // Written by the reader while full is clear, read by the packet thread while it is set.
  uint32_t len = 0;  // data bytes
  uint32_t off = 0;  // where the data begin in buf (0 to 63)
  uint64_t pos = 0;  // ring offset of the first data byte
  // Hand-over: set by the reader (release) after the fields above, cleared by the
  // packet thread (release) after it has copied the data out; each reads it acquire.
  std::atomic<uint8_t> full{0};
};

struct dump_device {
  int ctl_fd = -1;  // the block allocation and the register page
  volatile void* regs = nullptr;
  uint64_t low = 0, high = 0;  // card addresses of the ring's first byte and its end
  uint8_t align = 0;           // record alignment (low byte of bus_width)
  // The reader's own (main thread).
  int next = 0;           // the channel that the next DMA fills
  bool started = false;   // the reader role was granted
  uint64_t cursor = 0;    // ring offset of the next byte to fetch
  uint64_t published = 0; // consumer position last handed to the card
  // Ring offset of the first byte the packet thread still needs: written by the packet
  // thread (exchange), read by the reader. Below 0 while a record split across the
  // ring's end is pending.
  std::atomic<int64_t> consumer{0};
  dma_channel ch[2];

  uint64_t ring_size() const { return high - low; }
};

// The device node opened for the capture block's use; -1 after a message, errno set.
int open_driver(const char* path);
// Opens port's capture block on the node at path; null after a message, errno set.
dump_device* open_dump_device(const char* path, int port);
void close_dump_device(dump_device* dev);
// Discards everything recorded so far; 0, or -5 when the card refuses the reader role.
int clear_capture_memory(dump_device* dev);
// Takes the reader role and starts at the card's rd_addr; -1 after a message (also for
// a read or write position outside the ring).
int dump_start(dump_device* dev);
// One reading step: -1 after a message (a DMA refused, a write position outside the
// ring), 0 when nothing was done, 1 when a channel was filled. Hands the packet
// thread's consumer position to the card first.
int dump_do_dma(dump_device* dev);
// Hands the packet thread's last consumer position to the card.
void dump_hand_back(dump_device* dev);

}  // namespace zdump
