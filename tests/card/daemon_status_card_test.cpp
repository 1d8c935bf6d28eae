// The status dumps against the pages the daemon wrote: with VYX_DEBUG set, the daemon
// prints each port's Ethernet session, fiber page and card version after its bring-up;
// the hardware TCP session's dump shows a connection's ring and TX window.
#include <gtest/gtest.h>

#include <string>

#include "daemon_process.h"
#include "fiber_fixture.h"
#include "hw_status.h"
#include "netinfo.h"
#include "test_support.h"
#include "text_util.h"
#include "udp_fixture.h"
#include "zorvsock_handle.h"

namespace {

TEST(DaemonStatus, PortDumpShowsWhatTheDaemonWrote) {
  ZT_REQUIRE_LAUNCHED();
  zt::daemon_process d({}, {"VYX_DEBUG=1"});
  ASSERT_TRUE(d.wait_for("kvel0 up\n")) << d.output();
  const std::string out = d.output();
  EXPECT_NE(out.find("L2 rx_dma_dropped 0\nL2 rx_dma_rdptr 0\nL2 rx_dma_wrptr 0\n"
                     "L2 rx_dma_size 65536\n"),
            std::string::npos) << out;
  uint8_t mac[6];
  ASSERT_EQ(kvel::get_if_mac("kvel0", mac), 0);
  const std::string fiber =
      "Fiber 0 speed 10G type NORMAL\nMAC HW " + kvel::mac_u64_to_string(zt::fiber_get(0, 4)) +
      ", MAC in use " + kvel::mac_to_string(mac) +
      "\ndata_ch_nb 8\neth_session_nb 1\ntcp_session_nb 4096\nudp_session_nb 2048\n"
      "tap_session_nb 1\nudp_loopback_en 0\nlocal_ip " + std::to_string(zt::fiber_get(0, 14)) +
      "\nlocal_ip_mask " + std::to_string(zt::fiber_get(0, 15)) + "\nstatus 3\nrx-locked 1\n"
      "rx-pcs-locked (=link up) 1\n";
  EXPECT_EQ(zt::fiber_get(0, 14), zt::ipv4(198, 18, 0, 1));
  EXPECT_NE(out.find(fiber), std::string::npos) << out;
  // The card's synthesis time as date(1) shows it in asctime's form.
  const std::string synth = zt::run("date -d @" + std::to_string(zt::global_get("0", 3)) +
                                    " '+%a %b %e %H:%M:%S %Y'").out;
  char hash[16];
  snprintf(hash, sizeof hash, "%07X", unsigned(zt::global_get("0", 2)));
  EXPECT_NE(out.find("githash: " + std::string(hash) + " synth-time: " + synth + "\n"),
            std::string::npos) << out << synth;
}

TEST(DaemonStatus, NothingWithoutVyxDebug) {
  ZT_REQUIRE_LAUNCHED();
  unsetenv("VYX_DEBUG");
  zt::daemon_process d;
  ASSERT_TRUE(d.wait_for("kvel0 up\n")) << d.output();
  EXPECT_EQ(d.output().find("rx_dma"), std::string::npos);
  EXPECT_EQ(d.output().find("synth-time"), std::string::npos);
}

TEST(DaemonStatus, TcpSessionDump) {
  ZT_REQUIRE_LAUNCHED();
  zt::daemon_process d;
  ASSERT_TRUE(d.wait_for("kvel0 up\n")) << d.output();
  vyxtcp::tcp_hw_session s;
  std::string text;
  vyxtcp::append_tcp_hw_status(text, s);
  EXPECT_EQ(text, "") << "no register page, nothing to show";
  ASSERT_EQ(s.init("kvel0", zt::PEER_IP, 7030, 40030, 0, 64), 0);
  vyxtcp::append_tcp_hw_status(text, s);
  EXPECT_EQ(text,
            "TCP rx_dma_dropped 0\nTCP rx_dma_rdptr 0\nTCP rx_dma_wrptr 0\n"
            "TCP rx_dma_size " + std::to_string(vyxtcp::TCP_RX_RING_BYTES / 64) + "\n"
            "TX: fdb.round=0 fdb.rdptr 0\nTX: tx_offset=0 wrptr(CL)=0, round=0\n"
            "TX: wstatus fillevel=0 nonempty=0\nTX: rstatus rdptr=0 round=0\n");
  testing::internal::CaptureStdout();
  vyxtcp::print_tcp_hw_status(s);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), text);
  s.release();
  // Through a handle, the dump of the handle's own session.
  zorvsock_handle* h = zorvsock_acquire_handle();
  ASSERT_EQ(h->tcp_hw.init("kvel0", zt::PEER_IP, 7031, 40031, 0, 64), 0);
  testing::internal::CaptureStdout();
  vyxtcp::print_tcp_hw_status(*h);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, text);
  zorvsock_release_handle(h);
}

}  // namespace
