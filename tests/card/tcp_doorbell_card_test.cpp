// The ACK doorbell on the real path: every write is one pure ACK on the peer's wire, in
// the order written, however close together the writes come. The duplicate ACKs for
// segments beyond a gap are such writes, rung back to back by one receive: a peer that
// does not see three of them never retransmits fast.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "tcp/vyx_tcp_data.h"
#include "tcp_wire_fixture.h"
#include "zorvsock_handle.h"

namespace {

using namespace std::chrono_literals;
using vyxtcp::TCP_ACK;

constexpr uint16_t OUR_PORT = 7950, PEER_PORT = 7850;

class TcpDoorbell : public zt::tcp_peer_test {
 protected:
  // An established connection to the peer, quiet; the recorder on its wire.
  void SetUp() override {
    zt::tcp_peer_test::SetUp();
    if (IsSkipped()) return;
    ASSERT_GE(open_active(c_, OUR_PORT, PEER_PORT), 0);
    std::this_thread::sleep_for(100ms);  // the handshake's last segments have passed
  }

  // Rings the doorbell for rx_seq once per window in `windows`, back to back, and
  // returns the windows of the pure ACKs for rx_seq that leave our port with a window
  // among them, in wire order: once as many have come (or 3 s have passed) and the
  // wire has stayed quiet a little longer, so that an extra one shows.
  std::vector<uint16_t> ring_and_record(const std::vector<uint16_t>& windows) {
    auto& t = c_.h->tcp;
    const uint32_t saved = t.adv_window;
    for (uint16_t w : windows) {
      t.adv_window = w;
      vyxtcp::tcp_ring_doorbell(t, t.rx_seq);
    }
    t.adv_window = saved;
    const auto lo = std::min_element(windows.begin(), windows.end());
    const auto hi = std::max_element(windows.begin(), windows.end());
    const auto ours = [&](const zt::wire_segment& s) {
      return s.seg.src_port == OUR_PORT && s.seg.flags == TCP_ACK && s.payload_len() == 0 &&
             s.seg.ack == t.rx_seq && s.seg.window >= *lo && s.seg.window <= *hi;
    };
    zt::wait_until([&] { return rec_.matching(ours).size() >= windows.size(); });
    std::this_thread::sleep_for(200ms);
    std::vector<uint16_t> seen;
    for (const zt::wire_segment& s : rec_.matching(ours)) seen.push_back(s.seg.window);
    return seen;
  }

  zt::wire_recorder rec_{OUR_PORT};
  zt::handle_ptr c_;
};

// The window field tells the rings apart on the wire: the worker's own ACKs carry the
// connection's window, never these.
TEST_F(TcpDoorbell, ThreeDuplicateAcksInARowAllReachThePeer) {
  const std::vector<uint16_t> three(3, 777);
  EXPECT_EQ(ring_and_record(three), three);
}

TEST_F(TcpDoorbell, BackToBackWritesLeaveInTheOrderWritten) {
  std::vector<uint16_t> windows;
  for (uint16_t w = 1000; w < 1064; ++w) windows.push_back(w);
  EXPECT_EQ(ring_and_record(windows), windows);
}

}  // namespace
