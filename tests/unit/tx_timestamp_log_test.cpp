// The TX time-stamp log: entry counts, lookups against a log written the way the card
// writes it, and creation failures that leave the session without a log.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <climits>
#include <string>

#include "tx_timestamp_log.h"

namespace {

struct entries_case {
  int requested;
  int64_t entries;
};

class LogEntries : public testing::TestWithParam<entries_case> {};

TEST_P(LogEntries, RoundsUpToAPowerOfTwo) {
  EXPECT_EQ(kvel::tx_timestamp_log_entries(GetParam().requested), GetParam().entries)
      << GetParam().requested;
}

INSTANTIATE_TEST_SUITE_P(
    Table, LogEntries,
    testing::Values(entries_case{0, 16384}, entries_case{1, 16384}, entries_case{100, 16384},
                    entries_case{16383, 16384}, entries_case{16384, 16384},
                    entries_case{16385, 32768}, entries_case{1 << 20, 1 << 20},
                    entries_case{0x10000001, 0x20000000}, entries_case{0x20000000, 0x20000000},
                    entries_case{0x20000001, -14}, entries_case{INT_MAX, -14},
                    entries_case{-1, -14}, entries_case{INT_MIN, -14}));

constexpr uint32_t ENTRIES = 16384;

uint64_t card_time(uint32_t s, uint32_t ns) { return uint64_t(s) << 32 | ns; }

// A zeroed log mapping that the test writes as the card does: the n-th stamped send
// lands in entry n & mask as {n, time}.
class LogFixture : public testing::Test {
 protected:
  kvel::tx_timestamp_log log_;

  void SetUp() override {
    void* p = mmap(nullptr, ENTRIES * 16, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    log_.entries_ = static_cast<volatile kvel::tx_ts_entry*>(p);
    log_.size_ = ENTRIES * 16;
    log_.count_ = ENTRIES;
    log_.mask_ = ENTRIES - 1;
  }
  void TearDown() override {
    if (log_.entries_) munmap(const_cast<kvel::tx_ts_entry*>(log_.entries_), log_.size_);
  }

  void card_logs(uint64_t n, uint64_t time) {
    log_.entries_[n & log_.mask_].time = time;
    log_.entries_[n & log_.mask_].id = n;
  }
  uint64_t lookup(uint64_t id, int32_t adj = 0) { return kvel::tx_timestamp_lookup(log_, id, adj); }
};

TEST_F(LogFixture, UntouchedLogAnswersNotYet) {
  EXPECT_EQ(lookup(0), 0u);  // {0, 0} is the start state, not a stamp of send 0
  EXPECT_EQ(lookup(5), 0u);
  EXPECT_EQ(lookup(ENTRIES + 5), 0u);
}

TEST_F(LogFixture, LoggedSendGivesItsTimePlusAdjustment) {
  card_logs(5, card_time(5, 7));
  EXPECT_EQ(lookup(5), 5000000007u);
  EXPECT_EQ(lookup(5, 250), 5000000257u);
  EXPECT_EQ(lookup(5, -8), 4999999999u);  // a negative adjustment is sign-extended
}

TEST_F(LogFixture, FirstSendStampedAtTimeZeroSecondsIsStillAStamp) {
  card_logs(0, card_time(0, 42));
  EXPECT_EQ(lookup(0), 42u);
}

TEST_F(LogFixture, StampStaysUntilTheEntryIsReused) {
  card_logs(5, card_time(10, 0));
  EXPECT_EQ(lookup(5 + ENTRIES), 0u) << "the later send is not logged yet";
  card_logs(5 + ENTRIES - 1, card_time(11, 0));  // the last send before reuse
  EXPECT_EQ(lookup(5), 10000000000u);
  card_logs(5 + ENTRIES, card_time(12, 0));
  EXPECT_EQ(lookup(5), 1u);
  EXPECT_EQ(lookup(5 + ENTRIES), 12000000000u);
  EXPECT_EQ(lookup(5 + 2 * ENTRIES), 0u);
}

TEST_F(LogFixture, IdsBeyond32BitsWrapTheIndexOnly) {
  const uint64_t id = (uint64_t(1) << 40) + 3;
  card_logs(id, card_time(1, 1));
  EXPECT_EQ(lookup(id), 1000000001u);
  EXPECT_EQ(lookup(3), 1u);
}

TEST_F(LogFixture, CreateOnAMappedLogKeepsItsGeometry) {
  auto* mapped = log_.entries_;
  testing::internal::CaptureStdout();
  kvel::create_tx_timestamp_log(log_, -1, 65536);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: buffer already created for log\n");
  EXPECT_EQ(log_.entries_, mapped);
  EXPECT_EQ(log_.size_, ENTRIES * 16u);
  EXPECT_EQ(log_.count_, ENTRIES);
  EXPECT_EQ(log_.mask_, ENTRIES - 1);
  card_logs(65535, card_time(2, 0));
  EXPECT_EQ(lookup(65535), 2000000000u) << "lookups must use the mapped mask";
}

std::string lookup_output(const kvel::tx_timestamp_log& log, uint64_t* result) {
  testing::internal::CaptureStdout();
  *result = kvel::tx_timestamp_lookup(log, 0, 0);
  return testing::internal::GetCapturedStdout();
}

TEST(TxTimestampLog, LookupWithoutLogSaysSo) {
  kvel::tx_timestamp_log log;
  uint64_t r = 99;
  EXPECT_EQ(lookup_output(log, &r), "Error: Trying to read timestamps from uninitialized log\n");
  EXPECT_EQ(r, 0u);
  log.count_ = ENTRIES;  // geometry without a mapping, as after a failed creation
  log.mask_ = ENTRIES - 1;
  EXPECT_EQ(lookup_output(log, &r), "Error: Trying to read timestamps from uninitialized log\n");
  EXPECT_EQ(r, 0u);
}

TEST(TxTimestampLog, SizeOffPageLeavesNoMapping) {
  kvel::tx_timestamp_log log;
  testing::internal::CaptureStdout();
  kvel::create_tx_timestamp_log(log, -1, 100);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "The size of the log (1600) is not a a multiple of page size 4096 bytes\n");
  EXPECT_EQ(log.entries_, nullptr);
}

TEST(TxTimestampLog, FailedMappingLeavesNoMapping) {
  kvel::tx_timestamp_log log;
  testing::internal::CaptureStdout();
  kvel::create_tx_timestamp_log(log, -1, 16384);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to mmap memory: Bad file descriptor");
  EXPECT_EQ(log.entries_, nullptr);
  uint64_t r = 99;
  lookup_output(log, &r);
  EXPECT_EQ(r, 0u);
}

TEST(TxTimestampLog, NoRequestCreatesNothing) {
  kvel::tx_timestamp_log log;
  testing::internal::CaptureStdout();
  kvel::create_tx_timestamp_log(log, -1, 0);
  kvel::create_tx_timestamp_log(log, -1, -5);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(log.count_, 0u);
  EXPECT_EQ(log.size_, 0u);
}

TEST(TxTimestampLog, ReleaseOfAnEmptyLogIsHarmless) {
  kvel::tx_timestamp_log log;
  log.release();
  log.release();
  EXPECT_EQ(log.entries_, nullptr);
}

}  // namespace
