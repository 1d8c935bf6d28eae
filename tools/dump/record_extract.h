// Capture records out of the DMA stretches of one interface: the stretches are joined
// into one byte stream (a record may span two stretches, and the ring's end), cut into
// records, time-stamped with the port's delay for their direction and handed to the
// capture writer. Runs on the packet thread only.
#pragma once
#include <atomic>
#include <cstdint>

#include "capture_reader.h"

namespace zdump {

struct capture_writer;

// A capture record as the card writes it: u32 ns, u32 s, u16 length, u8 direction
// (0 received, else transmitted), the frame at the record alignment A, and fill up to
// the next multiple of A.
constexpr unsigned RECORD_HEADER_BYTES = 11;

struct packet_context {
  dma_channel* ch = nullptr;  // the interface's two channels
  int next = 0;               // the channel to take next
  uint32_t carry = 0;         // bytes of an incomplete record at the start of reasm[cur]
  int cur = 0;
  unsigned char* reasm[2] = {nullptr, nullptr};  // carry + one stretch each
  std::atomic<int64_t>* consumer = nullptr;      // the reader's, see dump_device
  uint8_t align = 0;
  int64_t tx_corr_ns = 0, rx_corr_ns = 0;
  // Records of length 0, which hold no frame: skipped, not written. The packet
  // thread's; read by the main thread once that thread has ended.
  uint64_t empty_records = 0;
};

// Null after a message: out of memory, or a record alignment too small to hold the
// record header (the name is the interface's, for the message).
packet_context* create_packet_context(dump_device* dev, const char* name);
void free_packet_context(packet_context* ctx);
// The port's delays in picoseconds: TX added to transmitted records, rx_ps (the
// negated RX delay) to received ones; below a nanosecond is dropped.
void set_delays(packet_context* ctx, int64_t tx_ps, int64_t rx_ps);
// Writes the records of the next full channel: their number (0 when the channel is not
// full or holds no whole record), or -1 after a message when the writer failed.
int run_pkt(packet_context* ctx, capture_writer* writer, uint32_t ifid);
// True when neither channel waits to be taken.
bool channels_empty(const packet_context* ctx);
// After the packet thread has ended: what the interface's records lacked, on standard
// error (records of length 0 skipped, a record left incomplete at the card's write
// position). True when there was any.
bool report_skipped(const packet_context* ctx, const char* name);

}  // namespace zdump
