// zorv_dump's record extraction and capture writer over hand-made DMA stretches, with
// the output file on a temporary file: the bytes of the blocks it writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture_blocks.h"
#include "capture_writer.h"
#include "output_file.h"
#include "record_extract.h"

namespace {

using namespace zdump;

constexpr uint8_t ALIGN = 64;
constexpr unsigned char CARD_FILL = 0xA5;  // what the card leaves after a frame

// One capture record as the card lays it out.
std::vector<unsigned char> card_record(uint32_t sec, uint32_t nsec, uint16_t len, uint8_t dir) {
  size_t padded = (len + ALIGN - 1) / ALIGN * ALIGN;
  std::vector<unsigned char> r(ALIGN + padded, CARD_FILL);
  memcpy(&r[0], &nsec, 4);
  memcpy(&r[4], &sec, 4);
  memcpy(&r[8], &len, 2);
  r[10] = dir;
  for (size_t i = 0; i < len; ++i) r[ALIGN + i] = uint8_t(i * 3 + 1);
  return r;
}

uint32_t u32_at(const std::vector<unsigned char>& b, size_t at) {
  uint32_t v;
  memcpy(&v, &b[at], 4);
  return v;
}

// A device with its two channels over local buffers, a context over it, and the
// writer over an output file; finish() closes them and returns the file's bytes.
struct pipeline {
  std::string path = "/tmp/zorv_dump_test." + std::to_string(getpid());
  std::vector<unsigned char> dma[2] = {std::vector<unsigned char>(DMA_BUFFER_BYTES),
                                       std::vector<unsigned char>(DMA_BUFFER_BYTES)};
  dump_device dev;
  packet_context* ctx = nullptr;
  output_file* file = nullptr;
  capture_writer* writer = nullptr;
  std::atomic<bool> file_gone{false};
  int next = 0;

  explicit pipeline(capture_format format, bool unbuffered = true) {
    dev.align = ALIGN;
    for (int i = 0; i < 2; ++i) dev.ch[i].buf = dma[i].data();
    ctx = create_packet_context(&dev, "kvel0");
    file = open_output_file(path.c_str(), unbuffered);
    const char* names[] = {"kvel0"};
    writer = create_writer(names, 1, format, file->slots, &file_gone);
  }
  ~pipeline() {
    if (ctx) free_packet_context(ctx);
    unlink(path.c_str());
  }
  // Hands bytes to the next channel as a stretch beginning at ring offset pos, with
  // `off` bytes before it in its 64-byte line; runs the packet step over it.
  int feed(const std::vector<unsigned char>& bytes, uint64_t pos, uint32_t off = 0) {
    dma_channel& ch = dev.ch[next];
    memcpy(dma[next].data() + off, bytes.data(), bytes.size());
    ch.off = off;
    ch.len = uint32_t(bytes.size());
    ch.pos = pos;
    ch.full = 1;
    next ^= 1;
    return run_pkt(ctx, writer, 0);
  }
  std::vector<unsigned char> finish() {
    close_writer(writer);
    EXPECT_EQ(close_output_file(file), 0);
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
};

constexpr size_t HEADERS = SHB_BYTES + 44;  // the section and kvel0's interface block

TEST(ZorvDumpBlocks, SectionAndInterfaceBlocksHaveTheirSizes) {
  unsigned char b[IDB_MAX_BYTES];
  EXPECT_EQ(encode_shb(b), 28u);
  EXPECT_EQ(encode_idb(b, "kvel0"), 44u);
  EXPECT_EQ(encode_idb(b, "kvel_1A_0"), 48u);
  EXPECT_EQ(encode_idb(b, std::string(256, 'k').c_str()), 0u);
}

TEST(ZorvDumpBlocks, EnhancedPacketBlocksCarryDirectionAndZeroFill) {
  pipeline p(FORMAT_PCAPNG);
  std::vector<unsigned char> stretch;
  struct {
    uint16_t len;
    uint8_t dir;
    uint32_t total, flags;
  } cases[] = {{60, 0, 104, 1}, {61, 1, 108, 2}, {62, 7, 108, 2}, {64, 255, 108, 2}};
  for (const auto& c : cases) {
    auto r = card_record(100, 5, c.len, c.dir);
    stretch.insert(stretch.end(), r.begin(), r.end());
  }
  EXPECT_EQ(p.feed(stretch, 0), 4);
  auto out = p.finish();
  size_t at = HEADERS;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.len);
    ASSERT_GE(out.size(), at + c.total);
    EXPECT_EQ(u32_at(out, at), 6u);
    EXPECT_EQ(u32_at(out, at + 4), c.total);
    EXPECT_EQ(u32_at(out, at + c.total - 4), c.total);
    EXPECT_EQ(u32_at(out, at + 20), c.len);
    size_t padded = (c.len + 3u) & ~3u;
    for (size_t i = c.len; i < padded; ++i) EXPECT_EQ(out[at + 28 + i], 0) << "fill byte " << i;
    EXPECT_EQ(u32_at(out, at + 28 + padded + 4), c.flags);
    at += c.total;
  }
  EXPECT_EQ(out.size(), at);
}

TEST(ZorvDumpRecords, TimeStampsTakeTheDelayOfTheirDirection) {
  pipeline p(FORMAT_PCAP);
  set_delays(p.ctx, 20000, -20999);  // TX +20 ns, RX -20 ns (below a nanosecond dropped)
  std::vector<unsigned char> s;
  for (auto r : {card_record(5, 999999990, 60, 1), card_record(7, 30, 60, 0),
                 card_record(0, 5, 60, 0)})
    s.insert(s.end(), r.begin(), r.end());
  EXPECT_EQ(p.feed(s, 0), 3);
  auto out = p.finish();
  size_t rec = PCAP_HEADER_BYTES, step = PCAP_RECORD_HEAD_BYTES + 60;
  EXPECT_EQ(u32_at(out, rec), 6u);
  EXPECT_EQ(u32_at(out, rec + 4), 10u);
  EXPECT_EQ(u32_at(out, rec + step), 7u);
  EXPECT_EQ(u32_at(out, rec + step + 4), 10u);
  // Near 0 the correction clamps instead of wrapping.
  EXPECT_EQ(u32_at(out, rec + 2 * step), 0u);
  EXPECT_EQ(u32_at(out, rec + 2 * step + 4), 0u);
}

TEST(ZorvDumpRecords, ARecordSplitBetweenStretchesIsWrittenOnceWhole) {
  pipeline p(FORMAT_PCAP);
  constexpr int64_t RING = 1 << 20;
  auto a = card_record(1, 1, 100, 0), b = card_record(1, 2, 150, 1);
  // a fills the ring's last 192 bytes but 64; b's header and data follow from offset 0.
  std::vector<unsigned char> tail(a.begin(), a.begin() + 100);
  EXPECT_EQ(p.feed(tail, RING - 100, 28), 0);
  EXPECT_EQ(p.dev.consumer.load(), RING - 100) << "nothing consumed yet";
  std::vector<unsigned char> head(a.begin() + 100, a.end());
  head.insert(head.end(), b.begin(), b.begin() + 70);
  EXPECT_EQ(p.feed(head, 0), 1);
  // The pending bytes of b began at ring offset 92: the reader hands that to the card.
  EXPECT_EQ(p.dev.consumer.load(), int64_t(a.size()) - 100);
  std::vector<unsigned char> rest(b.begin() + 70, b.end());
  EXPECT_EQ(p.feed(rest, uint64_t(a.size()) - 100 + 70), 1);
  auto out = p.finish();
  size_t first = PCAP_HEADER_BYTES + PCAP_RECORD_HEAD_BYTES;
  ASSERT_EQ(out.size(), first + 100 + PCAP_RECORD_HEAD_BYTES + 150);
  EXPECT_EQ(0, memcmp(&out[first], &a[ALIGN], 100));
  EXPECT_EQ(0, memcmp(&out[first + 100 + PCAP_RECORD_HEAD_BYTES], &b[ALIGN], 150));
}

TEST(ZorvDumpRecords, ACarryFromTheRingsEndGivesANegativeConsumerPosition) {
  pipeline p(FORMAT_PCAPNG);
  auto r = card_record(1, 1, 200, 0);
  std::vector<unsigned char> end(r.begin(), r.begin() + 64);
  p.feed(end, (1 << 20) - 64);
  std::vector<unsigned char> start(r.begin() + 64, r.begin() + 100);
  EXPECT_EQ(p.feed(start, 0), 0);
  EXPECT_EQ(p.dev.consumer.load(), -64);
  p.finish();
}

TEST(ZorvDumpWriter, PcapTakesFramesLongerThanAPage) {
  pipeline p(FORMAT_PCAP);
  for (uint16_t len : {4080, 4081, 9014, 65535}) {
    auto r = card_record(3, 4, len, 1);
    EXPECT_EQ(p.feed(r, 0), 1) << len;
  }
  auto out = p.finish();
  EXPECT_EQ(u32_at(out, 0), 0xA1B23C4Du);
  EXPECT_EQ(u32_at(out, 16), 65535u);
  EXPECT_EQ(out.size(), PCAP_HEADER_BYTES + 4 * PCAP_RECORD_HEAD_BYTES + 4080 + 4081 + 9014 + 65535);
}

TEST(ZorvDumpWriter, AWriterWaitingForAFileThreadThatHasGoneGivesUp) {
  pipeline p(FORMAT_PCAPNG);
  std::vector<unsigned char> frame(60000);
  int64_t written = 0;
  int r;
  p.file_gone = true;  // nobody empties the slots
  while ((r = writer_write(p.writer, 1, 1, uint16_t(frame.size()), frame.data(), 0, 0)) > 0)
    written += r;
  EXPECT_EQ(r, -1);
  EXPECT_GE(written, int64_t(SLOT_COUNT - 1) * SLOT_BYTES);
  p.finish();
}

TEST(ZorvDumpFile, ADirectFileEndsWithItsPartSlotAppended) {
  pipeline p(FORMAT_PCAPNG, false);
  std::vector<unsigned char> stretch;
  auto r = card_record(1, 1, 1000, 0);
  for (int i = 0; i < 900; ++i) stretch.insert(stretch.end(), r.begin(), r.end());
  for (int i = 0; i < 5; ++i) {  // more than one slot: whole slots go through O_DIRECT
    EXPECT_EQ(p.feed(stretch, uint64_t(i) * stretch.size()), 900);
    while (run_wr_file(p.file) > 0) {
    }
  }
  auto out = p.finish();
  EXPECT_EQ(out.size(), HEADERS + 4500u * (44 + 1000));
  EXPECT_EQ(u32_at(out, out.size() - 4), 1044u);
}

}  // namespace
