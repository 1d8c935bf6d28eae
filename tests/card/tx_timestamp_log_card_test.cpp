// Creating a session's TX time-stamp log through the driver's region at 0xC000 (the
// launcher's default card: device 0 with port kvel0).
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <fstream>
#include <sstream>
#include <string>

#include "fiber_fixture.h"
#include "tx_timestamp_log.h"

namespace {

const char* const DEV = "/dev/zorvnic_0";

bool mapped_at(const volatile void* p) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    unsigned long lo = 0, hi = 0;
    char dash;
    std::istringstream(line) >> std::hex >> lo >> dash >> hi;
    if (reinterpret_cast<unsigned long>(p) >= lo && reinterpret_cast<unsigned long>(p) < hi) return true;
  }
  return false;
}

std::string create(kvel::tx_timestamp_log& log, int fd, int entries) {
  testing::internal::CaptureStdout();
  kvel::create_tx_timestamp_log(log, fd, entries);
  return testing::internal::GetCapturedStdout();
}

class TxLog : public testing::Test {
 protected:
  int fd_ = -1;
  kvel::tx_timestamp_log log_;

  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    fd_ = kvel::kvel_dev_open(DEV);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    log_.release();
    if (fd_ >= 0) kvel::kvel_dev_close(fd_);
  }
  // The log belongs to a session: a UDP session on port 0.
  bool with_session() {
    int port = 0;
    return kvel::kvel_dev_ioctl(fd_, kvel::KVEL_ALLOC_UDP_SESSION, &port) == 0;
  }
};

TEST_F(TxLog, DescriptorWithoutSessionHasNoLog) {
  EXPECT_EQ(create(log_, fd_, 16384), "Failed to mmap memory: Invalid argument");
  EXPECT_EQ(log_.entries_, nullptr);
}

TEST_F(TxLog, CreatedLogIsMappedAndZeroed) {
  ASSERT_TRUE(with_session()) << "the simulator refused a UDP session";
  EXPECT_EQ(create(log_, fd_, 16384), "");
  ASSERT_NE(log_.entries_, nullptr);
  EXPECT_EQ(log_.size_, 16384u * 16);
  EXPECT_EQ(log_.count_, 16384u);
  EXPECT_EQ(log_.mask_, 16383u);
  EXPECT_EQ(log_.fd_, fd_);
  EXPECT_EQ(kvel::tx_timestamp_lookup(log_, 0, 0), 0u);
  EXPECT_EQ(kvel::tx_timestamp_lookup(log_, 16383, 0), 0u);  // the last entry is mapped
  const volatile void* entries = log_.entries_;
  log_.release();
  EXPECT_EQ(log_.entries_, nullptr);
  EXPECT_FALSE(mapped_at(entries));
}

TEST_F(TxLog, SecondCreationKeepsTheMappedGeometry) {
  ASSERT_TRUE(with_session()) << "the simulator refused a UDP session";
  ASSERT_EQ(create(log_, fd_, 16384), "");
  auto* entries = log_.entries_;
  EXPECT_EQ(create(log_, fd_, 65536), "Warning: buffer already created for log\n");
  EXPECT_EQ(log_.entries_, entries);
  EXPECT_EQ(log_.size_, 16384u * 16);
  EXPECT_EQ(log_.mask_, 16383u);
}

TEST_F(TxLog, SizeMustBeWholePages) {
  ASSERT_TRUE(with_session()) << "the simulator refused a UDP session";
  EXPECT_EQ(create(log_, fd_, 100),
            "The size of the log (1600) is not a a multiple of page size 4096 bytes\n");
  EXPECT_EQ(log_.entries_, nullptr);
  EXPECT_EQ(create(log_, fd_, 256), "") << "one page is a whole log";
  EXPECT_NE(log_.entries_, nullptr);
}

}  // namespace
