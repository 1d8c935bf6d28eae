// The receive ring on stand-in pages: sizes, slot placement and wrap, lazy publication
// of the read pointer, many laps against a shadow of the packets a card model wrote,
// a full ring, and set-up against a memory file standing in for the driver node.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <vector>

#include "kvel_mmio_registry.h"
#include "rx_dma_ring.h"
#include "session_fixture.h"

using kvel::rx_dma_ring;

namespace {

constexpr int SMALL_RING = 128 << 10;  // 2048 lines
constexpr int RING_4M = 4 << 20;       // 65536 lines

// A register page and a ring mapping with an rx_dma_ring started on them.
struct ring_fixture {
  zt::fake_session session;
  zt::mapped_region ring;
  rx_dma_ring rx;

  explicit ring_fixture(int bytes, uint64_t identity = 0, uint64_t hdr_reg = 0) : ring(size_t(bytes)) {
    session.set(0x000, identity);
    session.set(0x070, hdr_reg);
    rx.owner_ = session.ref();
    if (rx.attach(ring.p, bytes) != 0) abort();
  }
  uint64_t rdptr_reg() const { return session.get(0x108); }
  void put_length(int line, uint16_t value) { memcpy(rx.slot(line), &value, 2); }
};

TEST(RxRing, SizeChosenForARequest) {
  struct row { int requested, bytes; bool message; };
  const row rows[] = {{100000, RING_4M, true}, {65536, RING_4M, false}, {4096, RING_4M, false},
                      {131072, 131072, false}, {16 << 20, 16 << 20, false}};
  for (const row& r : rows) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(kvel::rx_ring_bytes(r.requested), r.bytes) << r.requested;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, r.message ? "\33[31mkvel:\33[0m Wrong RX DMA buffer size, not multiple of a "
                               "page: " + std::to_string(r.requested) + "\n"
                             : "");
  }
}

TEST(RxRing, AttachClearsRingAndRegistersAndEnablesReceive) {
  zt::fake_session s;
  zt::mapped_region ring(SMALL_RING);
  memset(ring.p, 0x5A, SMALL_RING);
  for (size_t reg : {0x108, 0x110, 0x118}) s.set(reg, 77);
  s.control = 0x11;
  rx_dma_ring rx;
  rx.owner_ = s.ref();
  ASSERT_EQ(rx.attach(ring.p, SMALL_RING), 0);
  EXPECT_EQ(rx.lines_, 2048);
  EXPECT_EQ(rx.size_, SMALL_RING);
  EXPECT_EQ(rx.rdptr_, 0);
  EXPECT_EQ(rx.rdptr_written_, 0);
  EXPECT_EQ(s.get(0x100), 2048u);
  for (size_t reg : {0x108, 0x110, 0x118}) EXPECT_EQ(s.get(reg), 0u) << reg;
  EXPECT_EQ(s.control, 0x13u);
  EXPECT_EQ(s.get(0x008), 0x13u);
  EXPECT_EQ(std::vector<uint8_t>(ring.p, ring.p + SMALL_RING), std::vector<uint8_t>(SMALL_RING, 0));
}

TEST(RxRing, HeaderLengthOnlyWhereTheIdentitySaysSo) {
  struct row { uint64_t identity, hdr_reg; int hdr_len; };
  const row rows[] = {{0x55000000, 0x20, 16},
                      {0x55000200, 0x1220, 0x20},
                      {0x5100fe00, 0x30, 0x30},
                      {0x5300ffff & ~0xfe00ull, 0x40, 16}};
  for (const row& r : rows) {
    ring_fixture f(SMALL_RING, r.identity, r.hdr_reg);
    EXPECT_EQ(f.rx.hdr_len_, r.hdr_len) << std::hex << r.identity;
  }
}

TEST(RxRing, SlotCoversWholeBlocks) {
  ring_fixture f(SMALL_RING);
  struct row { int len, lines; };
  const row rows[] = {{0, 4}, {1, 4}, {240, 4}, {241, 8}, {496, 8}, {497, 12}, {8176, 128}};
  for (const row& r : rows) EXPECT_EQ(f.rx.slot_lines(r.len), r.lines) << r.len;
}

TEST(RxRing, LastSlotOfALapIsFollowedByLineZero) {
  ring_fixture f(RING_4M);
  EXPECT_EQ(f.rx.next_slot(65536 - 255, 1), 0);
  EXPECT_EQ(f.rx.next_slot(65536 - 256, 1), 65536 - 252);
  EXPECT_EQ(f.rx.next_slot(65536 - 256, 4000), 65536 - 256 + 64);
  EXPECT_EQ(f.rx.next_slot(100, 241), 108);
  // A length beyond the card's largest slot, near the end: start over, not past the end.
  EXPECT_EQ(f.rx.next_slot(65536 - 256, 0x3fff), 0);
}

TEST(RxRing, ReleaseZeroesTheFirstLineOfEachBlock) {
  ring_fixture f(SMALL_RING);
  memset(f.ring.p, 0xFF, SMALL_RING);
  f.rx.rdptr_ = 8;
  f.put_length(8, 0xC000 | 497);  // bits 14..15 are not part of the length: 12 lines
  f.rx.release_slot();
  EXPECT_EQ(f.rx.rdptr_, 20);
  for (int line = 0; line < 32; ++line) {
    const uint8_t want = line == 8 || line == 12 || line == 16 ? 0 : 0xFF;
    for (int i = 0; i < 64; ++i) ASSERT_EQ(f.rx.slot(line)[i], want) << "line " << line;
  }
}

TEST(RxRing, ReleasingAnEmptySlotChangesNothing) {
  ring_fixture f(SMALL_RING);
  f.rx.rdptr_ = 2040;  // would wrap if it moved
  f.session.set(0x108, 1000);
  f.rx.rdptr_written_ = 1000;
  f.rx.release_slot();
  EXPECT_EQ(f.rx.rdptr_, 2040);
  EXPECT_EQ(f.rdptr_reg(), 1000u);
}

// 4-line slots one after the other on a 65536-line ring: the card is told when rdptr_
// gets more than a quarter of the ring past what it was told last, and at the wrap.
TEST(RxRing, ReadPointerReachesTheCardLazilyAndAtTheWrap) {
  ring_fixture f(RING_4M);
  std::vector<int> told_at;
  uint64_t last = f.rdptr_reg();
  for (int line = 0; line != 0 || told_at.empty(); line = f.rx.rdptr_) {
    f.put_length(line, 1);
    f.rx.release_slot();
    if (f.rdptr_reg() != last || f.rx.rdptr_ == 0) {
      told_at.push_back(f.rx.rdptr_);
      last = f.rdptr_reg();
      EXPECT_EQ(last, uint64_t(f.rx.rdptr_));
    }
    EXPECT_EQ(f.rx.rdptr_written_, int(last));
    if (told_at.size() > 5) break;
  }
  EXPECT_EQ(told_at, (std::vector<int>{16388, 32776, 49164, 0}));
}

struct packet {
  int len;
  uint64_t time;
  std::vector<uint8_t> bytes;  // session fields (10 .. header length), then the data
};

// The card's side as the library expects it: slots placed by the card's own rule, never
// into lines the library has not freed as far as the card was told, always an empty slot
// head after the last slot, length written last; a packet that does not fit is dropped
// and counted.
struct card_model {
  ring_fixture& f;
  int lines;
  int hdr;
  long head = 0;      // absolute line (laps × lines + line) of the next slot
  long told_lap = 0;  // laps the library has completed, from its rdptr register
  int told = 0;

  long freed_until() {
    const int v = int(f.rdptr_reg());
    if (v < told) ++told_lap;  // the register goes back only at a wrap
    told = v;
    return told_lap * lines + v + lines;
  }
  bool deliver(const packet& p) {
    const int line = int(head % lines);
    const int covered = 4 * ((p.len + hdr + 255) / 256);
    const bool last_of_lap = lines - line < 256;
    const long next = last_of_lap ? (head / lines + 1) * lines : head + covered;
    if (next + 4 > freed_until()) {
      f.session.set(0x118, f.session.get(0x118) + 1);
      return false;
    }
    uint8_t* s = f.rx.slot(line);
    memcpy(s + 2, &p.time, 8);
    memcpy(s + 10, p.bytes.data(), p.bytes.size());
    __atomic_store_n(reinterpret_cast<uint16_t*>(s), uint16_t(p.len), __ATOMIC_RELEASE);
    head = next;
    f.session.set(0x110, uint64_t(head % lines));
    return true;
  }
};

packet make_packet(std::mt19937& rng, int hdr, int max_len) {
  packet p;
  const int kind = int(rng() % 4);
  const int small = std::min(300, max_len);
  p.len = kind == 0 ? max_len : 1 + int(rng() % uint32_t(kind == 1 ? small : max_len));
  p.time = (uint64_t(rng()) << 32) | rng();
  p.bytes.resize(size_t(hdr - 10 + p.len));
  for (uint8_t& b : p.bytes) b = uint8_t(rng());
  return p;
}

// Reads and releases up to `count` packets, each checked against the oldest one the
// card delivered; false at the first mismatch.
bool consume(rx_dma_ring& rx, std::deque<packet>& shadow, int count) {
  for (; count > 0; --count) {
    const uint8_t* s = rx.current_slot();
    const int len = rx_dma_ring::slot_length(s);
    if (len == 0) {
      EXPECT_TRUE(shadow.empty()) << "ring empty while the card holds packets";
      return shadow.empty();
    }
    if (shadow.empty()) {
      ADD_FAILURE() << "packet at line " << rx.rdptr_ << " that the card never wrote";
      return false;
    }
    const packet& want = shadow.front();
    if (len != want.len || rx_dma_ring::slot_time(s) != want.time ||
        memcmp(s + 10, want.bytes.data(), want.bytes.size()) != 0) {
      ADD_FAILURE() << "packet at line " << rx.rdptr_ << " differs: len " << len << ", want "
                    << want.len;
      return false;
    }
    shadow.pop_front();
    rx.release_slot();
    if (rx.rdptr_ - rx.rdptr_written_ > rx.lines_ / 4 || rx.rdptr_ < rx.rdptr_written_) {
      ADD_FAILURE() << "read pointer " << rx.rdptr_ << " but the card knows " << rx.rdptr_written_;
      return false;
    }
  }
  return true;
}

struct RxShadowTest : ::testing::TestWithParam<int> {};  // the slot header length

TEST_P(RxShadowTest, ManyLapsMatchTheShadowOfDeliveredPackets) {
  const int hdr = GetParam();
  ring_fixture f(SMALL_RING, hdr == 16 ? 0 : 0x200, uint64_t(hdr));
  ASSERT_EQ(f.rx.hdr_len_, hdr);
  card_model card{f, f.rx.lines_, hdr};
  std::deque<packet> shadow;
  std::mt19937 rng(42 + uint32_t(hdr));
  int delivered = 0;
  while (card.head < 100L * card.lines) {
    for (int n = int(rng() % 40); n > 0; --n) {
      packet p = make_packet(rng, hdr, 8192 - hdr);
      if (card.deliver(p)) {
        shadow.push_back(std::move(p));
        ++delivered;
      }
    }
    ASSERT_TRUE(consume(f.rx, shadow, int(rng() % 40)));
  }
  ASSERT_TRUE(consume(f.rx, shadow, 1 << 30));
  EXPECT_GT(delivered, 2000);
  EXPECT_GT(f.session.get(0x118), 0u) << "the ring never filled up";
}

INSTANTIATE_TEST_SUITE_P(HeaderLengths, RxShadowTest, ::testing::Values(16, 32));

TEST(RxRing, FullRingIsReadToItsEmptyHeadAndThenRefilled) {
  ring_fixture f(SMALL_RING);
  card_model card{f, f.rx.lines_, 16};
  std::deque<packet> shadow;
  std::mt19937 rng(3);
  auto fill = [&] {
    int n = 0;
    for (;; ++n) {
      packet p = make_packet(rng, 16, 1);
      if (!card.deliver(p)) return n;
      shadow.push_back(std::move(p));
    }
  };
  // 4-line slots at lines 0..1792; the next would be the last of the lap and leave no
  // empty head.
  EXPECT_EQ(fill(), 449);
  EXPECT_EQ(f.session.get(0x118), 1u);
  ASSERT_TRUE(consume(f.rx, shadow, 1 << 30));
  EXPECT_EQ(f.rx.rdptr_, 1796);
  EXPECT_EQ(rx_dma_ring::slot_length(f.rx.current_slot()), 0);
  // The card was told 1548: the last slot of the lap, then lines 0..1540 of the next,
  // whose empty head 1544 ends just below 1548.
  EXPECT_EQ(f.rdptr_reg(), 1548u);
  EXPECT_EQ(fill(), 1 + 386);
  ASSERT_TRUE(consume(f.rx, shadow, 1 << 30));
}

// Set-up against a memory file standing in for the driver node: the ring is the file's
// range at 0x4000.
TEST(RxSetup, MapsTheRingAndStartsTheCard) {
  zt::memfd_device dev(0x4000 + RING_4M);
  zt::fake_session s;
  s.dev_fd = dev.fd;
  s.control = 0x11;
  rx_dma_ring rx;
  rx.owner_ = s.ref();
  testing::internal::CaptureStdout();
  ASSERT_EQ(rx.setup_rx_ring(100000), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\33[31mkvel:\33[0m Wrong RX DMA buffer size, not multiple of a page: 100000\n");
  EXPECT_EQ(rx.size_, RING_4M);
  EXPECT_EQ(rx.lines_, 65536);
  EXPECT_EQ(s.get(0x100), 65536u);
  EXPECT_EQ(s.control, 0x13u);
  const uint16_t len = 123;
  ASSERT_EQ(pwrite(dev.fd, &len, 2, 0x4000 + 64 * 12), 2);
  EXPECT_EQ(rx_dma_ring::slot_length(rx.slot(12)), 123);
  rx.unmap();
  EXPECT_EQ(rx.base_, nullptr);
}

TEST(RxSetup, RingThatCannotBeMappedLeavesReceiveOff) {
  zt::fake_session s;
  s.control = 0x13;
  s.set(0x100, 2048);
  rx_dma_ring rx;
  rx.owner_ = s.ref();
  EXPECT_EQ(rx.setup_rx_ring(SMALL_RING), -ENOMEM);
  EXPECT_EQ(s.control, 0x11u);
  EXPECT_EQ(s.get(0x008), 0x11u);
  EXPECT_EQ(s.get(0x100), 0u);
  EXPECT_EQ(rx.base_, nullptr);
  rx.unmap();
}

// A card that never takes a ring size: its size register reads as a device that is
// gone, and the set-up gives up instead of waiting for ever.
TEST(RxSetup, CardThatNeverTakesTheSizeTimesOut) {
  zt::fake_session s;
  s.control = 0x13;
  const uint32_t dead[] = {0x100};
  kvel::mmio_register(s.regs.p, 4096, -1, 0, dead, 1);
  zt::mapped_region ring(SMALL_RING);
  rx_dma_ring rx;
  rx.owner_ = s.ref();
  EXPECT_EQ(rx.setup_rx_ring(SMALL_RING), -ETIMEDOUT);
  EXPECT_EQ(rx.base_, nullptr);
  EXPECT_EQ(rx.attach(ring.p, SMALL_RING), -ETIMEDOUT);
  EXPECT_EQ(s.control, 0x11u);
  kvel::mmio_unregister(s.regs.p, 4096);
}

}  // namespace
