// The delay query and the per-interface corrections against the simulator's ports
// (ts_adjust_card_test.conf), with files in the launcher's private /etc/vyx.
#include <gtest/gtest.h>

#include <string>

#include "fiber_fixture.h"
#include "zorvsock.h"

namespace {

struct delays {
  int result;
  int64_t tx, rx;
  std::string err;  // standard error of the call
};

delays query(const char* ifname) {
  uint64_t tx = 0xDEAD, rx = 0xDEAD;
  testing::internal::CaptureStderr();
  int r = zorvsock_get_pmapcsmac_delays(ifname, &tx, &rx);
  return {r, int64_t(tx), int64_t(rx), testing::internal::GetCapturedStderr()};
}

class Delays : public testing::Test {
 protected:
  void SetUp() override { ZT_REQUIRE_LAUNCHED(); }
  void TearDown() override {
    for (const char* name : {"kvel0", "kvel0.100", "kvel1"}) zt::remove_ts_config(name);
  }
};

struct delays_case {
  const char* what;
  const char* ifname;
  const char* file;  // /etc/vyx/zorvnic/<ifname>; null: no file
  int64_t tx, rx;    // picoseconds: nothing is divided
};

class DelaysTable : public Delays, public testing::WithParamInterface<delays_case> {};

TEST_P(DelaysTable, PortDelaysWithCorrections) {
  const delays_case& c = GetParam();
  if (c.file) zt::write_ts_config(c.ifname, c.file);
  delays d = query(c.ifname);
  EXPECT_EQ(d.result, 0) << d.err;
  EXPECT_EQ(d.err, "");
  EXPECT_EQ(d.tx, c.tx) << c.what;
  EXPECT_EQ(d.rx, c.rx) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DelaysTable,
    testing::Values(
        delays_case{"no file: the port's own", "kvel0", nullptr, 2999, 1500},
        delays_case{"internal replaces, external adds", "kvel0",
                    "ts_tx_internal_adjustment_ps=2500\nts_tx_external_adjustment_ps=-1500\n"
                    "ts_rx_external_adjustment_ps=20\n",
                    1000, 1520},
        delays_case{"disabled", "kvel0",
                    "ts_adjustment_enable=no\nts_tx_internal_adjustment_ps=2500\n", 0, 0},
        delays_case{"garbage ignored", "kvel0",
                    "ts_tx_internal_adjustment_ps=fast\nts_rx_internal_adjustment_ps=99999999999\n",
                    2999, 1500},
        delays_case{"a VLAN interface has a file of its own", "kvel0.100",
                    "ts_tx_internal_adjustment_ps=100\n", 100, 1500},
        delays_case{"negative port delays count as zero", "kvel1", nullptr, 0, 0},
        // Stored into the unsigned output as its two's complement.
        delays_case{"a negative sum stays negative", "kvel1",
                    "ts_tx_external_adjustment_ps=-500\n", -500, 0}));

TEST_F(Delays, VlanFileDoesNotApplyToTheBaseName) {
  zt::write_ts_config("kvel0.100", "ts_tx_internal_adjustment_ps=100\n");
  EXPECT_EQ(query("kvel0").tx, 2999);
}

TEST_F(Delays, UnknownNameFailsAtTheOpen) {
  const std::string too_long = "kvel0" + std::string(59, '0');  // 64 characters
  for (const char* name : {"eth0", "kvel_1_0", "", too_long.c_str(), (const char*)nullptr}) {
    delays d = query(name);
    EXPECT_EQ(d.result, -1) << (name ? name : "NULL");
    EXPECT_EQ(d.err, "Open error No such file or directory\n");
    EXPECT_EQ(d.tx, 0xDEAD) << "outputs untouched on failure";
  }
}

TEST_F(Delays, MissingPortFailsAtTheFiberLookup) {
  int fds = zt::open_fd_count();
  delays d = query("kvel9");  // resolves to port 9 of the device, which has two
  EXPECT_EQ(d.result, -1);
  EXPECT_EQ(d.err, "ioctl error: Invalid argument\n");
  EXPECT_EQ(zt::open_fd_count(), fds) << "the device is closed again";
}

TEST_F(Delays, NullOutputsAreRefused) {
  uint64_t v = 0;
  EXPECT_EQ(zorvsock_get_pmapcsmac_delays("kvel0", nullptr, &v), -22);
  EXPECT_EQ(zorvsock_get_pmapcsmac_delays("kvel0", &v, nullptr), -22);
}

}  // namespace
