#include "record_extract.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "unaligned.h"
#include "capture_writer.h"

namespace zdump {
namespace {

constexpr size_t REASM_BYTES = 2u << 20;  // a whole stretch and less than a record of carry
constexpr int64_t NS_PER_S = 1000000000;

// The record's card time corrected by its direction's delay, clamped at 0 so that a
// time near 0 does not wrap to the far future.
int64_t record_time(const packet_context* ctx, const unsigned char* rec) {
  int64_t t = int64_t(load_u32(rec + 4)) * NS_PER_S + int64_t(load_u32(rec));
  t += rec[10] ? ctx->tx_corr_ns : ctx->rx_corr_ns;
  return t < 0 ? 0 : t;
}

// Writes the whole records of buf[0, pending); the bytes consumed, or -1.
int64_t cut_records(packet_context* ctx, capture_writer* w, uint32_t ifid, const unsigned char* buf,
                    uint64_t pending, int* count) {
  uint64_t a = ctx->align, o = 0;
  while (pending - o >= a) {
    const unsigned char* rec = buf + o;
    uint16_t len = load_u16(rec + 8);
    uint64_t padded = (uint64_t(len) + a - 1) / a * a;
    if (pending - o - a < padded) break;  // the rest comes with the next stretch
    if (len == 0) {  // a record without a frame: nothing a capture file could hold
      ++ctx->empty_records;
      o += a;
      continue;
    }
    int64_t t = record_time(ctx, rec);
    if (writer_write(w, uint32_t(t / NS_PER_S), uint32_t(t % NS_PER_S), len, rec + a, ifid,
                     rec[10]) < 0) {
      fputs("Error writing packet\n", stderr);
      return -1;
    }
    ++*count;
    o += a + padded;
  }
  return int64_t(o);
}

}  // namespace

packet_context* create_packet_context(dump_device* dev, const char* name) {
  if (dev->align < RECORD_HEADER_BYTES) {
    fprintf(stderr, "Record alignment %u of interface %s is below %u, the record header\n",
            dev->align, name, RECORD_HEADER_BYTES);
    return nullptr;
  }
  auto* ctx = new packet_context;
  for (unsigned char*& b : ctx->reasm) {
    b = static_cast<unsigned char*>(aligned_alloc(64, REASM_BYTES));
    if (!b) {
      fputs("Malloc failed for the reassembly buffers\n", stderr);
      free_packet_context(ctx);
      return nullptr;
    }
  }
  ctx->ch = dev->ch;
  ctx->consumer = &dev->consumer;
  ctx->align = dev->align;
  return ctx;
}

void free_packet_context(packet_context* ctx) {
  for (unsigned char* b : ctx->reasm) free(b);
  delete ctx;
}

void set_delays(packet_context* ctx, int64_t tx_ps, int64_t rx_ps) {
  ctx->tx_corr_ns = tx_ps / 1000;
  ctx->rx_corr_ns = rx_ps / 1000;
}

bool channels_empty(const packet_context* ctx) {
  return !ctx->ch[0].full.load(std::memory_order_acquire) &&
         !ctx->ch[1].full.load(std::memory_order_acquire);
}

bool report_skipped(const packet_context* ctx, const char* name) {
  if (ctx->empty_records)
    fprintf(stderr, "Skipped %llu capture records of length 0 on %s\n",
            (unsigned long long)ctx->empty_records, name);
  if (ctx->carry)
    fprintf(stderr,
            "Left out %u bytes of a capture record on %s that runs past the card's write "
            "position\n",
            ctx->carry, name);
  return ctx->empty_records || ctx->carry;
}

int run_pkt(packet_context* ctx, capture_writer* writer, uint32_t ifid) {
  dma_channel& ch = ctx->ch[ctx->next];
  if (!ch.full.load(std::memory_order_acquire)) return 0;
  unsigned char* buf = ctx->reasm[ctx->cur];
  uint32_t carried = ctx->carry;
  memcpy(buf + carried, ch.buf + ch.off, ch.len);
  uint64_t pending = uint64_t(carried) + ch.len;
  uint64_t pos = ch.pos;
  ch.full.store(0, std::memory_order_release);  // the reader may fill it again
  ctx->next ^= 1;
  int count = 0;
  int64_t used = cut_records(ctx, writer, ifid, buf, pending, &count);
  if (used < 0) return -1;
  // Below 0 when the carried bytes came from the end of the ring; the reader brings
  // it into the ring.
  ctx->consumer->exchange(int64_t(pos) - int64_t(carried) + used);
  ctx->carry = uint32_t(pending - uint64_t(used));
  ctx->cur ^= 1;
  memcpy(ctx->reasm[ctx->cur], buf + used, ctx->carry);
  return count;
}

}  // namespace zdump
