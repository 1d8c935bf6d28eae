// The capture writer: formats pcapng or pcap blocks straight into the output file's
// slots (output_file.h). Its write and flush run on the packet thread, its creation,
// final flush and close on the main thread while the packet thread is not running.
#pragma once
#include <atomic>
#include <cstdint>

#include "dump_backoff.h"
#include "output_file.h"

namespace zdump {

enum capture_format { FORMAT_PCAPNG = 0, FORMAT_PCAP = 1 };

struct capture_writer {
  capture_format format = FORMAT_PCAPNG;
  file_slot* slots = nullptr;
  int cur = 0;  // the slot being filled
  unsigned char* local = nullptr;  // a block that crosses from one slot into the next
  backoff wait;
  // Set by the file thread when it has ended and no slot will be freed any more; a
  // writer waiting for a slot then gives up.
  const std::atomic<bool>* file_gone = nullptr;
};

// Writes the file header (and one interface block per name) into the slots; null
// after a message.
capture_writer* create_writer(const char* const* names, int count, capture_format format,
                              file_slot* slots, const std::atomic<bool>* file_gone);
// One capture record: the size of its block, or -1 when no slot became free.
int writer_write(capture_writer* w, uint32_t sec, uint32_t nsec, uint16_t len,
                 const unsigned char* data, uint32_t ifid, uint8_t direction);
// Hands the partly filled slot to the file thread: its length, 0 when it is empty, -1
// while it is still full.
int64_t writer_flush(capture_writer* w);
// Flushes once and frees the writer.
void close_writer(capture_writer* w);

}  // namespace zdump
