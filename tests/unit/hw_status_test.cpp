#include "hw_status.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "status_text.h"

namespace {

TEST(StatusText, AppendValue) {
  std::string out;
  kvel::append_value(out, "x=", int64_t(-5));
  kvel::append_value(out, "y=", uint64_t(18446744073709551615ull));
  kvel::append_value(out, "z ", int32_t(-2147483647 - 1));
  EXPECT_EQ(out, "x=-5\ny=18446744073709551615\nz -2147483648\n");
}

TEST(StatusText, WriteStderrWritesTheWholeText) {
  testing::internal::CaptureStderr();
  kvel::write_stderr("ab\0c\n", 5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("ab\0c\n", 5));
}

TEST(HwStatus, HwVersionLine) {
  setenv("TZ", "UTC", 1);
  tzset();
  uint64_t global[64] = {};
  global[2] = 0x5A17C0D;
  global[3] = 1700000000;
  std::string out;
  kvel::format_hw_version(out, global);
  EXPECT_EQ(out, "githash: 5A17C0D synth-time: Tue Nov 14 22:13:20 2023\n\n");
}

// A register reading all ones, or a time too far out for a date, gives a placeholder.
TEST(HwStatus, HwVersionWithoutADate) {
  for (uint64_t t : {~uint64_t(0) >> 1, uint64_t(1) << 62}) {
    uint64_t global[64] = {};
    global[2] = ~uint64_t(0);
    global[3] = t;
    std::string out;
    kvel::format_hw_version(out, global);
    EXPECT_EQ(out, "githash: FFFFFFFF synth-time: (no valid time)\n\n") << t;
  }
}

TEST(HwStatus, FiberStatus) {
  uint64_t conf[64] = {};
  conf[2] = 3;
  conf[3] = 5;
  conf[4] = 0x025A00000003;
  conf[5] = 0x021122334455;
  for (int r = 6; r <= 10; ++r) conf[r] = uint64_t(r * 10);
  conf[11] = 2;
  conf[12] = 1;
  conf[13] = 2;
  conf[14] = 0xC6120301;
  conf[15] = 0xFFFFFF00;
  std::string out;
  kvel::format_fiber_status(out, conf);
  EXPECT_EQ(out,
            "Fiber 3 speed 100G type TIME\n"
            "MAC HW 02:5A:00:00:00:03, MAC in use 02:11:22:33:44:55\n"
            "data_ch_nb 60\neth_session_nb 70\ntcp_session_nb 80\nudp_session_nb 90\n"
            "tap_session_nb 100\nudp_loopback_en 1\nlocal_ip 3323069185\n"
            "local_ip_mask 4294967040\nstatus 2\nrx-locked 0\nrx-pcs-locked (=link up) 1\n");
  conf[3] = 6;
  conf[11] = 0;
  out.clear();
  kvel::format_fiber_status(out, conf);
  EXPECT_EQ(out.substr(0, out.find('\n')), "Fiber 3 speed UNKN type UNKN");
}

TEST(HwStatus, EthernetStatusAppendedAndPrinted) {
  uint64_t page[512] = {};
  page[0x100 / 8] = 65536, page[0x108 / 8] = 64, page[0x110 / 8] = 192, page[0x118 / 8] = 3;
  vyx::zorveth_v2 eth;
  eth.reg_ = page;
  std::string out = "kept\n";
  vyx::append_eth_status(out, eth);
  const std::string lines =
      "L2 rx_dma_dropped 3\nL2 rx_dma_rdptr 64\nL2 rx_dma_wrptr 192\nL2 rx_dma_size 65536\n";
  EXPECT_EQ(out, "kept\n" + lines);
  testing::internal::CaptureStdout();
  vyx::print_eth_status(eth);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), lines);
  eth.reg_ = nullptr;  // the test's own page
}

TEST(HwStatus, DebugCounters) {
  uint64_t page[64] = {};
  page[2] = 1, page[3] = 2, page[16] = 3, page[17] = 4, page[18] = 99, page[19] = 5;
  std::string out;
  kvel::append_debug_counters(out, page);
  EXPECT_EQ(out,
            "tx_pio_offset=1\ntx_dma_addr_base=2\nrx_dbg_late_error_cnt=3\n"
            "rx_dbg_early_error_cnt=4\nrx_dbg_rx_buf_no_space_drop_cnt=5\n");
}

}  // namespace
