#include "capture_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "capture_blocks.h"

namespace zdump {
namespace {

constexpr unsigned char ZEROS[4] = {};

// Waits until the current slot may be filled; false when the file thread has gone.
bool wait_for_slot(capture_writer* w) {
  const file_slot& s = w->slots[w->cur];
  backoff_reset(&w->wait);
  while (s.full.load(std::memory_order_acquire)) {
    if (w->file_gone->load()) return false;
    backoff_step(&w->wait);
  }
  return true;
}

// Copies n bytes into the slots, handing each slot over as it fills.
bool writer_put(capture_writer* w, const void* src, size_t n) {
  auto* p = static_cast<const unsigned char*>(src);
  while (n) {
    if (!wait_for_slot(w)) return false;
    file_slot& s = w->slots[w->cur];
    size_t piece = std::min<size_t>(n, SLOT_BYTES - s.len);
    memcpy(s.buf + s.len, p, piece);
    s.len += uint32_t(piece);
    p += piece;
    n -= piece;
    if (s.len == SLOT_BYTES) {
      s.full.store(1, std::memory_order_release);
      w->cur = (w->cur + 1) % SLOT_COUNT;
    }
  }
  return true;
}

int write_epb(capture_writer* w, uint64_t ts_ns, uint16_t len, const unsigned char* data,
              uint32_t ifid, uint8_t direction) {
  unsigned char head[EPB_HEAD_BYTES], tail[EPB_TAIL_BYTES];
  encode_epb_head(head, ifid, ts_ns, len);
  encode_epb_tail(tail, len, direction);
  uint32_t fill = pcapng_padded(len) - len;  // zeros, not the record's own fill
  bool ok = writer_put(w, head, sizeof head) && writer_put(w, data, len) &&
            writer_put(w, ZEROS, fill) && writer_put(w, tail, sizeof tail);
  return ok ? int(sizeof head + len + fill + sizeof tail) : -1;
}

int write_pcap_record(capture_writer* w, uint32_t sec, uint32_t nsec, uint16_t len,
                      const unsigned char* data) {
  unsigned char head[PCAP_RECORD_HEAD_BYTES];
  encode_pcap_record_head(head, sec, nsec, len);
  bool ok = writer_put(w, head, sizeof head) && writer_put(w, data, len);
  return ok ? int(sizeof head + len) : -1;
}

bool write_file_header(capture_writer* w, const char* const* names, int count) {
  unsigned char block[IDB_MAX_BYTES];
  if (w->format == FORMAT_PCAP) return writer_put(w, block, encode_pcap_header(block));
  if (!writer_put(w, block, encode_shb(block))) return false;
  for (int i = 0; i < count; ++i) {
    size_t n = encode_idb(block, names[i]);
    if (n == 0) {
      fprintf(stderr, "Interface name %s too long for the capture file\n", names[i]);
      return false;
    }
    if (!writer_put(w, block, n)) return false;
  }
  return true;
}

}  // namespace

capture_writer* create_writer(const char* const* names, int count, capture_format format,
                              file_slot* slots, const std::atomic<bool>* file_gone) {
  auto* w = new capture_writer;
  w->format = format;
  w->slots = slots;
  w->file_gone = file_gone;
  if (write_file_header(w, names, count)) return w;
  delete w;
  return nullptr;
}

int writer_write(capture_writer* w, uint32_t sec, uint32_t nsec, uint16_t len,
                 const unsigned char* data, uint32_t ifid, uint8_t direction) {
  if (w->format == FORMAT_PCAP) return write_pcap_record(w, sec, nsec, len, data);
  return write_epb(w, uint64_t(sec) * 1000000000 + nsec, len, data, ifid, direction);
}

int64_t writer_flush(capture_writer* w) {
  file_slot& s = w->slots[w->cur];
  if (s.full.load(std::memory_order_acquire)) return -1;
  if (s.len == 0) return 0;
  uint32_t len = s.len;
  s.full.store(1, std::memory_order_release);
  w->cur = (w->cur + 1) % SLOT_COUNT;
  return len;
}

void close_writer(capture_writer* w) {
  writer_flush(w);
  delete w;
}

}  // namespace zdump
