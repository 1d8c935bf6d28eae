#include "capture_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "capture_blocks.h"

namespace zdump {
namespace {

// Big enough for the largest block of either format.
constexpr size_t LOCAL_BYTES = EPB_MAX_BYTES;
constexpr size_t IDB_NAME_MAX = 255;

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

void hand_over_if_full(capture_writer* w) {
  file_slot& s = w->slots[w->cur];
  if (s.len < SLOT_BYTES) return;
  s.full.store(1, std::memory_order_release);
  w->cur = (w->cur + 1) % SLOT_COUNT;
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
    hand_over_if_full(w);
  }
  return true;
}

struct record_desc {
  uint32_t sec, nsec;
  uint16_t len;
  const unsigned char* data;
  uint32_t ifid;
  uint8_t direction;
};

int64_t encode_record(const capture_writer* w, unsigned char* out, size_t room,
                      const record_desc& r) {
  if (w->format == FORMAT_PCAP) return encode_pcap_record(out, room, r.sec, r.nsec, r.data, r.len);
  const uint32_t flags = epb_direction_flags(r.direction);
  const pcapng_option opts[] = {{EPB_OPT_FLAGS, sizeof flags, &flags}};
  const epb_desc d{r.ifid, uint64_t(r.sec) * 1000000000 + r.nsec, r.len, r.len, r.data, opts, 1};
  return encode_epb(out, room, d);
}

bool write_file_header(capture_writer* w, const char* const* names, int count) {
  if (w->format == FORMAT_PCAP) {
    int64_t n = write_pcap_header(w->local, LOCAL_BYTES);
    return n > 0 && writer_put(w, w->local, size_t(n));
  }
  int64_t n = write_shb(w->local, LOCAL_BYTES, nullptr, 0);
  if (n < 0 || !writer_put(w, w->local, size_t(n))) return false;
  for (int i = 0; i < count; ++i) {
    const size_t len = strlen(names[i]);
    const pcapng_option opts[] = {{IDB_OPT_TSRESOL, 1, &TSRESOL_NS},
                                  {IDB_OPT_NAME, uint16_t(len), names[i]}};
    n = len <= IDB_NAME_MAX ? write_idb(w->local, LOCAL_BYTES, opts, 2) : -1;
    if (n < 0) {
      fprintf(stderr, "Interface name %s too long for the capture file\n", names[i]);
      return false;
    }
    if (!writer_put(w, w->local, size_t(n))) return false;
  }
  return true;
}

}  // namespace

capture_writer* create_writer(const char* const* names, int count, capture_format format,
                              file_slot* slots, const std::atomic<bool>* file_gone) {
  auto* w = new capture_writer;
  w->local = new unsigned char[LOCAL_BYTES];
  w->format = format;
  w->slots = slots;
  w->file_gone = file_gone;
  if (write_file_header(w, names, count)) return w;
  delete[] w->local;
  delete w;
  return nullptr;
}

// A block that fits the current slot's room is encoded straight into it; one that
// would cross into the next slot goes through the local buffer.
int writer_write(capture_writer* w, uint32_t sec, uint32_t nsec, uint16_t len,
                 const unsigned char* data, uint32_t ifid, uint8_t direction) {
  const record_desc r{sec, nsec, len, data, ifid, direction};
  if (!wait_for_slot(w)) return -1;
  file_slot& s = w->slots[w->cur];
  int64_t n = encode_record(w, s.buf + s.len, SLOT_BYTES - s.len, r);
  if (n >= 0) {
    s.len += uint32_t(n);
    hand_over_if_full(w);
    return int(n);
  }
  n = encode_record(w, w->local, LOCAL_BYTES, r);
  return n >= 0 && writer_put(w, w->local, size_t(n)) ? int(n) : -1;
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
  delete[] w->local;
  delete w;
}

}  // namespace zdump
