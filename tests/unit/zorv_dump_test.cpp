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

#include "capture_block_reader.h"
#include "capture_blocks.h"
#include "capture_control.h"
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

// Every encoder with exactly its block's room, and with one byte less.
struct encoder_case {
  const char* name;
  int64_t size;
  int64_t (*encode)(unsigned char* out, size_t room);
};

const uint32_t FLAGS_OUT = EPB_FLAG_OUTBOUND;
const uint64_t ISB_IFRECV = 12345;
const pcapng_option EPB_OPTS[] = {{EPB_OPT_FLAGS, 4, &FLAGS_OUT}};
const pcapng_option IDB_OPTS[] = {{IDB_OPT_TSRESOL, 1, &TSRESOL_NS}, {IDB_OPT_NAME, 5, "kvel0"}};
const pcapng_option SHB_OPTS[] = {{4, 7, "zorvnic"}};  // shb_userappl
const pcapng_option ISB_OPTS[] = {{4, 8, &ISB_IFRECV}};  // isb_ifrecv
const unsigned char FRAME[4081] = {1, 2, 3};

const encoder_case ENCODERS[] = {
    {"options_none", 0,
     [](unsigned char* o, size_t r) { return encode_options(o, r, nullptr, 0); }},
    {"options_two", 24,
     [](unsigned char* o, size_t r) { return encode_options(o, r, IDB_OPTS, 2); }},
    {"shb", 28, [](unsigned char* o, size_t r) { return write_shb(o, r, nullptr, 0); }},
    {"shb_option", 44, [](unsigned char* o, size_t r) { return write_shb(o, r, SHB_OPTS, 1); }},
    {"idb_bare", 20, [](unsigned char* o, size_t r) { return write_idb(o, r, nullptr, 0); }},
    {"idb_kvel0", 44, [](unsigned char* o, size_t r) { return write_idb(o, r, IDB_OPTS, 2); }},
    {"epb_60_in", 104,
     [](unsigned char* o, size_t r) {
       return encode_epb(o, r, {0, 1, 60, 60, FRAME, EPB_OPTS, 1});
     }},
    {"epb_61_out", 108,
     [](unsigned char* o, size_t r) {
       return encode_epb(o, r, {1, 2, 61, 61, FRAME, EPB_OPTS, 1});
     }},
    {"epb_bare", 32,
     [](unsigned char* o, size_t r) { return encode_epb(o, r, {0, 0, 0, 0, FRAME, nullptr, 0}); }},
    {"isb", 40, [](unsigned char* o, size_t r) { return encode_isb(o, r, {0, 9, ISB_OPTS, 1}); }},
    {"pcap_header", 24, [](unsigned char* o, size_t r) { return write_pcap_header(o, r); }},
    {"pcap_record_4080", 4096,
     [](unsigned char* o, size_t r) { return encode_pcap_record(o, r, 1, 2, FRAME, 4080); }},
    {"pcap_record_4081", 4097,
     [](unsigned char* o, size_t r) { return encode_pcap_record(o, r, 1, 2, FRAME, 4081); }},
};

class ZorvDumpEncoders : public testing::TestWithParam<encoder_case> {};

TEST_P(ZorvDumpEncoders, FitExactlyAndRefuseOneByteLess) {
  const encoder_case& c = GetParam();
  std::vector<unsigned char> b(size_t(c.size) + 8, 0xEE);
  EXPECT_EQ(c.encode(b.data(), size_t(c.size)), c.size);
  EXPECT_EQ(b[size_t(c.size)], 0xEE) << "wrote past its size";
  if (c.size > 0) {
    EXPECT_EQ(c.encode(b.data(), size_t(c.size) - 1), -1);
  }
  EXPECT_EQ(c.encode(b.data(), 0), c.size == 0 ? 0 : -1);
}

INSTANTIATE_TEST_SUITE_P(Blocks, ZorvDumpEncoders, testing::ValuesIn(ENCODERS),
                         [](const auto& info) { return std::string(info.param.name); });

// Blocks of every kind written to a file and read back one by one.
TEST(ZorvDumpBlocks, EveryKindReadsBackWithItsOptions) {
  std::vector<unsigned char> file(1024);
  size_t at = 0;
  auto add = [&](int64_t n) {
    ASSERT_GT(n, 0);
    at += size_t(n);
  };
  add(write_shb(&file[at], file.size() - at, SHB_OPTS, 1));
  add(write_idb(&file[at], file.size() - at, IDB_OPTS, 2));
  add(encode_epb(&file[at], file.size() - at, {3, 0x100000002ull, 61, 1500, FRAME, EPB_OPTS, 1}));
  add(encode_isb(&file[at], file.size() - at, {3, 77, ISB_OPTS, 1}));
  FILE* in = fmemopen(file.data(), at, "rb");
  ASSERT_NE(in, nullptr);
  pcapng_block b;
  ASSERT_EQ(read_block(in, &b), 1);
  EXPECT_EQ(b.type, SHB_TYPE);
  EXPECT_EQ(b.total, 44u);
  EXPECT_EQ(b.magic, BYTE_ORDER_MAGIC);
  EXPECT_EQ(b.major, 1);
  EXPECT_EQ(b.section_length, ~uint64_t(0));
  ASSERT_EQ(b.options.size(), 1u);
  EXPECT_EQ(std::string(b.options[0].value.begin(), b.options[0].value.end()), "zorvnic");
  ASSERT_EQ(read_block(in, &b), 1);
  EXPECT_EQ(b.type, IDB_TYPE);
  EXPECT_EQ(b.link_type, LINKTYPE_ETHERNET);
  EXPECT_EQ(b.snap_len, 0xFFFFFFFFu);
  ASSERT_EQ(b.options.size(), 2u);
  EXPECT_EQ(b.options[0].code, IDB_OPT_TSRESOL);
  EXPECT_EQ(b.options[0].value, std::vector<unsigned char>{9});
  EXPECT_EQ(std::string(b.options[1].value.begin(), b.options[1].value.end()), "kvel0");
  ASSERT_EQ(read_block(in, &b), 1);
  EXPECT_EQ(b.type, EPB_TYPE);
  EXPECT_EQ(b.ifid, 3u);
  EXPECT_EQ(b.ts, 0x100000002ull);
  EXPECT_EQ(b.captured, 61u);
  EXPECT_EQ(b.original, 1500u);
  EXPECT_EQ(b.data, std::vector<unsigned char>(FRAME, FRAME + 61));
  EXPECT_EQ(b.fill, std::vector<unsigned char>(3, 0));
  ASSERT_EQ(b.options.size(), 1u);
  EXPECT_EQ(b.options[0].value, std::vector<unsigned char>({2, 0, 0, 0}));
  ASSERT_EQ(read_block(in, &b), 1);
  EXPECT_EQ(b.type, ISB_TYPE);
  EXPECT_EQ(b.ts, 77u);
  ASSERT_EQ(b.options.size(), 1u);
  EXPECT_EQ(b.options[0].value.size(), 8u);
  EXPECT_EQ(read_block(in, &b), 0) << "end of the stream";
  fclose(in);
}

// Blocks that are not what they claim end the reading with a message.
TEST(ZorvDumpBlocks, BadBlocksAreRefused) {
  struct bad {
    const char* name;
    std::vector<uint32_t> words;
    const char* message;
  } cases[] = {
      {"unknown_type", {3, 16, 0, 16}, "Error block type 3 not supported\n"},
      {"length_below_the_frame", {IDB_TYPE, 8, 0}, "Error block of type 1 with length 8\n"},
      {"cut_short", {IDB_TYPE, 28, 1, 0}, "cut short"},
      {"lengths_differ", {IDB_TYPE, 20, 1, 0, 24}, "lengths differ"},
      {"epb_data_past_the_body", {EPB_TYPE, 32, 0, 0, 0, 100, 100, 32}, "overrun"},
      {"option_past_the_body", {IDB_TYPE, 24, 1, 0, 0x00080002, 24}, "overrun"},
  };
  for (const bad& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> words = c.words;
    FILE* in = fmemopen(words.data(), words.size() * 4, "rb");
    pcapng_block b;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_block(in, &b), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(c.message), std::string::npos);
    fclose(in);
  }
}

TEST(ZorvDumpBlocks, OptionsStopAtTheirEndMarker) {
  const uint32_t words[] = {0x00040002, 0x01020304, 0, 0x00040002, 0x05060708};
  std::vector<decoded_option> opts;
  EXPECT_EQ(decode_options(reinterpret_cast<const unsigned char*>(words), sizeof words, &opts), 0);
  ASSERT_EQ(opts.size(), 1u);
  EXPECT_EQ(opts[0].code, 2);
  EXPECT_EQ(opts[0].value, std::vector<unsigned char>({4, 3, 2, 1}));
  opts.clear();
  EXPECT_EQ(decode_options(reinterpret_cast<const unsigned char*>(words), 6, &opts), -1);
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

// The register routines over a plain page: what they write, what they refuse.
struct capture_page {
  uint64_t regs[512] = {};
  dump_device dev;
  capture_page() { dev.regs = regs; }
  uint64_t& at(size_t offset) { return regs[offset / 8]; }
};

TEST(ZorvDumpControl, RegistersShownOneALine) {
  capture_page p;
  for (size_t i = 0; i < 13; ++i) p.regs[i] = 0x10 * i + 1;
  testing::internal::CaptureStdout();
  print_capture_regs(&p.dev);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "version_id          = 0x1\nenable              = 0x11\n"
            "reset               = 0x21\nbus_width           = 0x31\n"
            "nb_boundaries       = 0x41\ncalibration_done    = 0x51\n"
            "low_addr            = 0x61\nhigh_addr           = 0x71\n"
            "configure_memory    = 0x81\nwr_addr             = 0x91\n"
            "rd_addr             = 0xa1\nrd_ack              = 0xb1\n");
}

TEST(ZorvDumpControl, EnableTakesOnlyOffAndOn) {
  capture_page p;
  p.at(0x08) = 7;
  for (uint64_t v : {1, 0}) {
    EXPECT_EQ(set_capture_enable(&p.dev, v), 0);
    EXPECT_EQ(p.at(0x08), v);
  }
  EXPECT_EQ(set_capture_enable(&p.dev, 2), -1);
  EXPECT_EQ(p.at(0x08), 0u) << "nothing written";
  p.at(0x08) = 1;
  EXPECT_EQ(disable_capture(&p.dev), 0);
  EXPECT_EQ(p.at(0x08), 0u);
  EXPECT_EQ(p.at(0x10), 1u) << "reset";
}

TEST(ZorvDumpControl, ConfigureChecksTheRingAndTheCardsAnswer) {
  struct {
    uint64_t low, high;
    const char* message;  // null: written, and refused since the page never answers
  } cases[] = {
      {0x10000, 0x10FFF, "Error: high_addr < low_addr+4096\n"},
      {0x10000, 0x8000, "Error: high_addr < low_addr+4096\n"},
      {~uint64_t(0xFFF), 0x1000, "Error: high_addr < low_addr+4096\n"},
      {0x10100, 0x20000, "Error high_addr&0xff != 0 || low_addr&0xff != 0\n"},
      {0x10000, 0x20080, "Error high_addr&0xff != 0 || low_addr&0xff != 0\n"},
      {0x10000, 0x20000, nullptr},
  };
  for (const auto& c : cases) {
    capture_page p;
    p.dev.low = 5, p.dev.high = 6;
    testing::internal::CaptureStderr();
    EXPECT_EQ(configure_capture_memory(&p.dev, c.low, c.high, 3), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.message ? c.message : "Error configure memory\n");
    EXPECT_EQ(p.at(0x40), c.message ? 0u : 5u) << "flag bit 0 and the command";
    EXPECT_EQ(p.at(0x30), c.message ? 0u : c.low);
    EXPECT_EQ(p.at(0x38), c.message ? 0u : c.high);
    EXPECT_EQ(p.at(0x20), c.message ? 0u : 4u);
    EXPECT_EQ(p.dev.low, 5u) << "the ring stays the one read until the card takes another";
    EXPECT_FALSE(capture_configured(&p.dev));
  }
  capture_page p;
  p.at(0x40) = 0x2;
  EXPECT_TRUE(capture_configured(&p.dev));
}

}  // namespace
