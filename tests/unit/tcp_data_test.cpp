// The TCP data path over the fake session and a real receive ring: cutting of sends
// within the peer's window and MSS, refusals when window or TX room is short, the
// descriptor of data segments, in-order receive across the sequence wrap, overlap and
// gaps, the release with its doorbell rule, a FIN behind data, sends after the peer's
// FIN, receives after ours, and sends after close.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "tcp_ring_fixture.h"

using namespace vyxtcp;
using vyxtcp_test::OPEN_WINDOW;
using vyxtcp_test::ring_fixture;

namespace {

std::vector<uint8_t> pattern(int n) {
  std::vector<uint8_t> v(size_t(n) + 1);  // +1: a 0-byte send still has an address
  for (int i = 0; i < n; ++i) v[size_t(i)] = uint8_t(i * 7 + 3);
  return v;
}

using DataSend = ring_fixture;
using DataReceive = ring_fixture;

// ---- Send ------------------------------------------------------------------------------

TEST_F(DataSend, Established_LongSendCutWithinMssAndWindow) {
  struct row { int len, mss; std::vector<int> pieces; };
  const row rows[] = {{3000, 1460, {1460, 1460, 80}},
                      {2920, 1460, {1460, 1460}},
                      {1461, 1460, {1460, 1}},
                      {3000, 1000, {1000, 1000, 1000}}};
  for (const row& r : rows) {
    hw.tx_pio_.writes.clear();
    tcp.tx_mss = r.mss;
    const auto data = pattern(r.len);
    const uint32_t first = tcp.tx_seq.load().v;
    uint64_t id = 99;
    const uint64_t next_id = tcp.tx_log.next_id_;
    ASSERT_EQ(tcp_send(tcp, data.data(), r.len, &id), 0) << r.len;
    ASSERT_EQ(hw.tx_pio_.writes.size(), r.pieces.size()) << r.len;
    uint32_t off = 0;
    for (size_t i = 0; i < r.pieces.size(); ++i) {
      const auto& w = hw.tx_pio_.writes[i];
      EXPECT_EQ(w.desc.length, r.pieces[i]);
      EXPECT_EQ(w.desc.seq, first + off);
      EXPECT_EQ((w.desc.flags & TCP_DESC_TX_TIMESTAMP) != 0, i == 0) << "only the first is stamped";
      const auto from = data.begin() + off;
      EXPECT_EQ(w.payload, std::vector<uint8_t>(from, from + w.desc.length));
      off += w.desc.length;
    }
    EXPECT_EQ(tcp.tx_seq.load().v, first + uint32_t(r.len));
    EXPECT_EQ(id, next_id);
    EXPECT_EQ(tcp.tx_log.next_id_, next_id + 1);
    set_peer_window(OPEN_WINDOW);
  }
}

// The peer's window lets 2000 bytes through: the long send writes what fits and no more,
// and waits, however long, until the connection ends: here the peer's RST, which the
// card reports while the window stays shut.
TEST_F(DataSend, Established_LongSendWaitsAtThePeersWindowUntilTheConnectionEnds) {
  block().win = uint16_t(2000 >> tcp.peer_wscale);  // 1920 bytes scaled
  tcp.tx_available_quota = 0;
  hw.tx_pio_.after_write = [&] {
    hw.tx_pio_.after_write = nullptr;
    put(rx_at(0), TCP_RST, 0, true);
    block().fin_rst_flags = 2;
  };
  const auto data = pattern(4000);
  EXPECT_EQ(tcp_send(tcp, data.data(), 4000, nullptr), -ENOTCONN);
  ASSERT_EQ(hw.tx_pio_.writes.size(), 1u);
  EXPECT_EQ(tcp.state, TCP_CLOSE);
}

TEST_F(DataSend, Established_ShortWindowOrRoomGivesEagainAndChangesNothing) {
  const auto data = pattern(1000);
  block().win = uint16_t(896 >> tcp.peer_wscale);  // 896 bytes
  tcp.tx_available_quota = 0;
  EXPECT_EQ(tcp_send(tcp, data.data(), 1000, nullptr), -EAGAIN);
  EXPECT_EQ(tcp_send(tcp, data.data(), 896, nullptr), 0);
  set_peer_window(OPEN_WINDOW);
  tcp_refresh_quota(tcp);
  hw.tx_pio_.full = true;
  const uint32_t seq = tcp.tx_seq.load().v;
  const int quota = tcp.tx_available_quota;
  uint64_t id = 7;
  EXPECT_EQ(tcp_send(tcp, data.data(), 100, &id), -EAGAIN);
  EXPECT_EQ(tcp.tx_seq.load().v, seq);
  EXPECT_EQ(tcp.tx_available_quota, quota);
  EXPECT_EQ(id, 7u);
  EXPECT_EQ(hw.tx_pio_.writes.size(), 1u);
}

TEST_F(DataSend, Established_AboveMssGivesEfaultAndEmptySendWritesASegment) {
  tcp.tx_mss = 1400;
  const auto data = pattern(1460);
  EXPECT_EQ(tcp_send(tcp, data.data(), 1460, nullptr), -EFAULT);
  EXPECT_EQ(tcp_send(tcp, data.data(), -1, nullptr), -EINVAL);
  EXPECT_EQ(tcp_send(tcp, nullptr, 10, nullptr), -EINVAL);
  EXPECT_TRUE(hw.tx_pio_.writes.empty());
  EXPECT_EQ(tcp_send(tcp, nullptr, 0, nullptr), 0);
  ASSERT_EQ(hw.tx_pio_.writes.size(), 1u);
  EXPECT_EQ(hw.tx_pio_.writes[0].desc.length, 0);
}

TEST_F(DataSend, Established_DescriptorOfADataSegment) {
  tcp.data_desc.flags = 0x1234;  // the session's bits from register 0x28
  tcp.rx_to_be_ackd = tcp.rx_seq + 5;
  const uint32_t seq = tcp.tx_seq.load().v;
  const auto data = pattern(100);
  uint64_t id = 0;
  ASSERT_EQ(tcp_send(tcp, data.data(), 100, &id), 0);
  ASSERT_EQ(tcp_send(tcp, data.data(), 50, nullptr), 0);
  ASSERT_EQ(hw.tx_pio_.writes.size(), 2u);
  const tcp_tx_desc& d = hw.tx_pio_.writes[0].desc;
  EXPECT_EQ(d.tcp_flags, TCP_ACK);
  EXPECT_EQ(d.length, 100);
  EXPECT_EQ(d.seq, seq);
  EXPECT_EQ(d.ack, tcp.rx_seq.load().v + 5);
  EXPECT_EQ(d.window, 32768) << "own window with shift 7 on the 16 MiB ring";
  EXPECT_EQ(d.ttl, 64);
  EXPECT_EQ(d.slot_hdr, 5);
  EXPECT_EQ(d.flags, 0x1234 | TCP_DESC_TX_TIMESTAMP);
  const tcp_tx_desc& d2 = hw.tx_pio_.writes[1].desc;
  EXPECT_EQ(d2.flags, 0x1234);
  EXPECT_EQ(d2.seq, seq + 100);
  EXPECT_EQ(tcp.rx_ack, tcp.rx_seq + 5);
}

// A long send during the handshake waits for it; here another thread ends it the way
// the worker does when its resend schedule runs out.
TEST_F(DataSend, NotEstablished_SingleAndLongSendsFail) {
  struct row { int state, single, longer; };
  const row rows[] = {{TCP_LISTEN, -ENOTCONN, -ENOTCONN},   {TCP_SYN_SENT, -EAGAIN, -ECONNRESET},
                      {TCP_SYN_RECV, -EAGAIN, -ECONNRESET}, {TCP_CLOSE, -ECONNRESET, -ECONNRESET},
                      {TCP_LAST_ACK, -ECONNRESET, -ECONNRESET},
                      {TCP_FIN_WAIT1, -ECONNRESET, -ECONNRESET}};
  const auto data = pattern(3000);
  for (const row& r : rows) {
    tcp.state = r.state;
    EXPECT_EQ(tcp_send(tcp, data.data(), 100, nullptr), r.single) << r.state;
    std::thread handshake_ends([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const std::lock_guard<std::mutex> hold(tcp.fsm_lock);
      if (tcp.state == TCP_SYN_SENT || tcp.state == TCP_SYN_RECV) tcp.close();
    });
    EXPECT_EQ(tcp_send(tcp, data.data(), 3000, nullptr), r.longer) << r.state;
    handshake_ends.join();
  }
  EXPECT_TRUE(hw.tx_pio_.writes.empty());
}

// The card reports a control segment waiting; the send's scan finds the peer's RST, and
// the rest of a long send fails instead of vanishing.
TEST_F(DataSend, Established_PeerResetDuringLongSend) {
  const auto data = pattern(3000);
  put(rx_at(0), TCP_RST, 0, true);
  block().fin_rst_flags = 2;
  EXPECT_EQ(tcp_send(tcp, data.data(), 3000, nullptr), -ENOTCONN);
  EXPECT_EQ(tcp.state, TCP_CLOSE);
  EXPECT_TRUE(hw.tx_pio_.writes.empty());
  EXPECT_EQ(tcp_send(tcp, data.data(), 3000, nullptr), -ECONNRESET);
}

TEST_F(DataSend, SendReady_ThresholdAndRefresh) {
  tcp.tx_available_quota = 1500;
  block().win = 0;
  block().ack = tcp.tx_seq.load().v;
  EXPECT_EQ(tcp_send_ready(tcp), 1);
  tcp.tx_available_quota = 1499;
  block().win = uint16_t(1499 >> tcp.peer_wscale);
  EXPECT_EQ(tcp_send_ready(tcp), 0);
  set_peer_window(OPEN_WINDOW);
  EXPECT_EQ(tcp_send_ready(tcp), 1);
  EXPECT_EQ(tcp.tx_available_quota, int(TCP_WINDOW_CAP)) << "the window is capped";
  tcp.state = TCP_FIN_WAIT1;
  EXPECT_EQ(tcp_send_ready(tcp), 0);
}

// Without the acknowledgement block (offload not switched on) the engine's own view of
// the peer's window stands in.
// Whichever way the connection opened, its first data segment acknowledges the peer's
// next byte: nothing left from before the handshake reads as an acknowledgement ahead
// of it (the peer's numbers here end 15 bytes short of the wrap, where a stale 0 would;
// a segment acknowledging what the peer never sent is dropped).
struct DataOpen : vyxtcp_test::engine_fixture, testing::WithParamInterface<bool> {};

TEST_P(DataOpen, FirstDataSegmentAcknowledgesThePeersNextByte) {
  if (GetParam()) {
    passive_open();
    deliver({TCP_ACK});
  } else {
    go_to(TCP_ESTABLISHED);
  }
  ASSERT_EQ(tcp.state, TCP_ESTABLISHED);
  hw.txack_->ack = tcp.tx_seq.load().v;
  hw.txack_->win = 1000;
  hw.tx_pio_.writes.clear();
  const auto data = pattern(100);
  ASSERT_EQ(tcp_send(tcp, data.data(), 100, nullptr), 0);
  ASSERT_EQ(hw.tx_pio_.writes.size(), 1u);
  EXPECT_EQ(hw.tx_pio_.writes[0].desc.ack, vyxtcp_test::PEER_ISN + 1);
}

INSTANTIATE_TEST_SUITE_P(passive, DataOpen, testing::Bool());

TEST_F(DataSend, NoAckBlock_QuotaFromTheEnginesView) {
  hw.txack_ = nullptr;
  tcp.bk_tx_ack = tcp.tx_seq;
  tcp.peer_window_scaled = 1000;
  tcp.tx_available_quota = 0;
  const auto data = pattern(1000);
  EXPECT_EQ(tcp_send(tcp, data.data(), 1000, nullptr), 0);
  EXPECT_EQ(tcp_send(tcp, data.data(), 1, nullptr), -EAGAIN);
}

// ---- Receive ---------------------------------------------------------------------------

TEST_F(DataReceive, EmptyRing_NothingWithAdjustedZeroTime) {
  const void* data = &data;
  uint64_t ts = 1;
  EXPECT_EQ(tcp_zc_receive(tcp, &data, &ts, 250), 0);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(ts, uint64_t(0) - 250);
}

// The peer's numbers start at 0xfffffff1: the second segment crosses the wrap.
TEST_F(DataReceive, InOrder_AcrossTheSequenceWrap) {
  ASSERT_EQ(tcp.rx_seq.load().v, 0xfffffff1u);
  put(rx_at(0), TCP_ACK, 10, false, uint64_t(3) << 32 | 500);
  put(rx_at(10), TCP_ACK, 100);
  const void* data = nullptr;
  uint64_t ts = 0;
  ASSERT_EQ(tcp_zc_receive(tcp, &data, &ts, 100), 10);
  EXPECT_EQ(ts, 3000000500u - 100);
  EXPECT_EQ(tcp.rx_data_seen, 1);
  expect_receive(0xfffffff1u, 10);  // again: the same bytes until released
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(tcp.rx_seq.load().v, 0xfffffffbu);
  EXPECT_EQ(tcp.rx_to_be_ackd.load().v, 0xfffffffbu);
  consume(100);
  EXPECT_EQ(tcp.rx_seq.load().v, 0x5fu);
  EXPECT_EQ(tcp.rx_rdptr, 8) << "both slots given back";
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), 0);
}

// A retransmission overlapping consumed bytes gives only the new ones; the slot stays
// until all of it is consumed.
TEST_F(DataReceive, Overlap_OnlyTheNewBytes) {
  put(rx_at(0), TCP_ACK, 100);
  put(rx_at(50), TCP_ACK, 100);
  consume(100);
  EXPECT_EQ(tcp.rx_rdptr, 4);
  expect_receive(tcp.rx_seq.load().v, 50);
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(tcp.rx_rdptr, 8);
}

// The segment that fills a gap: its release acknowledges at once everything in order
// behind it, up to the next gap, not piece by piece as the application consumes it.
// Until consumption catches up, releases ring nothing, and the duplicate ACK for a
// segment beyond the next gap carries that acknowledgement, not an older one.
TEST_F(DataReceive, Gap_FilledGapIsAcknowledgedUpToTheNextGapAtOnce) {
  const uint32_t start = tcp.rx_seq.load().v;
  put(start + 100, TCP_ACK, 100, true);
  put(start + 200, TCP_ACK, 100, true);
  put(start + 400, TCP_ACK, 100, true);  // behind a second gap at 300
  put(start, TCP_ACK, 100, true);        // the first gap filled, last in the ring
  expect_receive(start, 100);
  EXPECT_EQ(take_doorbell(), doorbell_for(start)) << "duplicate ACKs while the gap lasted";
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(take_doorbell(), doorbell_for(start + 300));
  EXPECT_EQ(tcp.ack_point().v, start + 300);
  consume(100);
  EXPECT_EQ(take_doorbell(), 0u) << "already acknowledged";
  put(start + 500, TCP_ACK, 100, true);
  consume(100);
  const void* data = nullptr;
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), 0) << "the second gap";
  EXPECT_EQ(take_doorbell(), doorbell_for(start + 300));
}

// Under loss the resends that fill gaps land in the ring behind the data that follows
// them. The filled gaps are acknowledged to the end of what is in order in one ACK,
// whatever the order of the slots, and consuming the rest repeats nothing: to a peer
// without selective acknowledgements an ACK in pieces is a partial ACK that makes it
// resend what we hold, and one sent again a duplicate ACK toward a fast retransmit.
TEST_F(DataReceive, Gap_FilledGapsAreAcknowledgedAtOnceWhateverTheRingOrder) {
  const uint32_t start = tcp.rx_seq.load().v;
  put(start + 200, TCP_ACK, 100, true);  // beyond the gaps at 0 and 100
  put(start + 400, TCP_ACK, 100, true);  // beyond a third gap at 300
  put(start + 100, TCP_ACK, 100, true);  // the second gap's resend comes first
  put(start, TCP_ACK, 100, true);        // the first gap filled, last in the ring
  expect_receive(start, 100);
  take_doorbell();
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(take_doorbell(), doorbell_for(start + 300));
  consume(100);
  EXPECT_EQ(take_doorbell(), 0u) << "already acknowledged";
  consume(100);
  EXPECT_EQ(take_doorbell(), 0u);
  EXPECT_EQ(tcp.ack_point().v, start + 300);
}

// The window stays as it is, so the acknowledgement goes at most one window beyond what
// the application has consumed, however much the ring holds in order.
TEST_F(DataReceive, Gap_FilledGapAcknowledgesAtMostOneWindowAhead) {
  const uint32_t start = tcp.rx_seq.load().v;
  tcp.rx_window = 250;
  for (uint32_t off = 100; off < 1000; off += 100) put(start + off, TCP_ACK, 100, true);
  put(start, TCP_ACK, 100, true);
  consume(100);
  EXPECT_EQ(take_doorbell(), doorbell_for(start + 100 + 250, 250 >> 7));
}

// A segment beyond a gap at the head of the ring: the missing one comes first, the card
// is told once where we are, and both slots go back once both are consumed.
TEST_F(DataReceive, Gap_MissingSegmentFirst) {
  const uint8_t* later = put(rx_at(100), TCP_ACK, 100, true);
  put(rx_at(0), TCP_ACK, 100);
  const uint32_t start = tcp.rx_seq.load().v;
  expect_receive(start, 100);
  EXPECT_EQ(take_doorbell(), doorbell_for(start));
  EXPECT_EQ(sw_flag(later), 0);
  expect_receive(start, 100);
  EXPECT_EQ(take_doorbell(), 0u) << "once per flagged segment";
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(hw.rx_dma_.rdptr_, 0) << "the head is not consumed";
  consume(100);
  EXPECT_EQ(tcp.rx_rdptr, 8);
}

// A reader that paused: the worker acknowledged what the ring holds in order, so the
// window we offer at that point is what is left of the ring's room for the stream.
// Consumption reopens it with a window update at each step of 4 MSS, and once
// consumption reaches the acknowledgement the usual batching takes over.
TEST_F(DataReceive, Window_ShrinksWithUnreadDataAndReopensWithUpdates) {
  tcp.own_wscale = 0;
  tcp.rx_window = tcp.adv_window = 65000;
  tcp.rx_ring_room = 10000;
  tcp.tx_mss = 1000;
  const uint32_t start = tcp.rx_seq.load().v;
  for (uint32_t off = 0; off < 8000; off += 1000) put(start + off, TCP_ACK, 1000);
  tcp.rx_highest = tcp_seq(start + 8000);  // the worker's idle ACK
  const uint8_t byte = 0;
  ASSERT_EQ(tcp_send(tcp, &byte, 1, nullptr), 0);
  EXPECT_EQ(hw.tx_pio_.writes.back().desc.ack, start + 8000);
  EXPECT_EQ(hw.tx_pio_.writes.back().desc.window, 2000);
  take_doorbell();
  const uint64_t expected[] = {0, doorbell_for(start + 8000, 4000), 0, 0, 0,
                               doorbell_for(start + 8000, 8000), 0};
  for (int i = 0; i < 7; ++i) {
    consume(1000);
    EXPECT_EQ(take_doorbell(), expected[i]) << "after " << (i + 1) * 1000 << " bytes";
  }
  consume(1000);
  EXPECT_EQ(tcp.ack_point().v, start + 8000);
  EXPECT_EQ(tcp.offered_window(tcp.ack_point()), 10000);
  tcp.rx_ring_room = 100000;
  EXPECT_EQ(tcp.offered_window(tcp.ack_point()), 65000) << "at most rx_window";
}

TEST_F(DataReceive, Release_DoorbellOnTheSeventeenthRelease) {
  take_doorbell();
  for (int i = 1; i <= 34; ++i) {
    put(tcp.rx_seq.load().v, TCP_ACK, 10);
    consume(10);
    const uint64_t rung = take_doorbell();
    EXPECT_EQ(rung, i % 17 == 0 ? doorbell_for(tcp.rx_seq.load().v) : 0) << "release " << i;
  }
  EXPECT_EQ(tcp.bk_rx_ack, tcp.rx_seq);
}

TEST_F(DataReceive, Release_DoorbellAboveFourMss) {
  tcp.tx_mss = 1000;
  put(tcp.rx_seq.load().v, TCP_ACK, 10);
  consume(10);
  take_doorbell();
  tcp.rx_ack = tcp.bk_rx_ack = tcp.rx_seq;
  for (int i = 1; i <= 5; ++i) {
    put(tcp.rx_seq.load().v, TCP_ACK, 1000);
    consume(1000);
    EXPECT_EQ(take_doorbell() != 0, i == 5) << "4000 bytes are not more than 4 x MSS";
  }
  EXPECT_EQ(tcp.release_count, 0);
}

TEST_F(DataReceive, Release_TwiceWithoutReceiveConsumesNothing) {
  put(rx_at(0), TCP_ACK, 100);
  put(rx_at(100), TCP_ACK, 100);
  const uint32_t start = tcp.rx_seq.load().v;
  consume(100);
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(tcp.rx_seq.load().v, start + 100);
  expect_receive(start + 100, 100);
}

// The peer's FIN arrives before the data in front of it: the data comes first, the FIN
// takes effect when it is consumed.
TEST_F(DataReceive, FinPendingBehindData) {
  put(rx_at(100), TCP_FIN | TCP_ACK, 0, true);
  put(rx_at(0), TCP_ACK, 100);
  const uint32_t start = tcp.rx_seq.load().v;
  expect_receive(start, 100);
  EXPECT_EQ(tcp.state, TCP_ESTABLISHED);
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(tcp.state, TCP_CLOSE_WAIT);
  EXPECT_EQ(tcp.rx_seq.load().v, start + 101);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_ACK);
  EXPECT_EQ(last_control().desc.ack, start + 101);
  EXPECT_EQ(tcp.rx_rdptr, card_line) << "the FIN's slot goes back with the data before it";
  const void* data = &data;
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), -ENOTCONN);
  EXPECT_EQ(data, nullptr);
}

TEST_F(DataReceive, FinOnTheLastDataSegment) {
  put(rx_at(0), TCP_FIN | TCP_ACK, 100, true);
  const uint32_t start = tcp.rx_seq.load().v;
  expect_receive(start, 100);
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(tcp.state, TCP_CLOSE_WAIT);
  EXPECT_EQ(tcp.rx_seq.load().v, start + 101);
}

// Half closed by the peer: the receive reports the end of its stream, and our side goes
// on sending, one segment or many, until we close it too.
TEST_F(DataSend, CloseWait_SendsGoOnUntilOurFin) {
  const uint32_t start = rx_at(0);
  put(rx_at(0), TCP_FIN | TCP_ACK, 0, true);
  block().fin_rst_flags = 1;  // stays raised: the card cannot tell it was read
  const void* data = &data;
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), -ENOTCONN);
  ASSERT_EQ(tcp.state, TCP_CLOSE_WAIT);
  ASSERT_EQ(hw.control.size(), 1u);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_ACK);
  EXPECT_EQ(last_control().desc.ack, start + 1);
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), -ENOTCONN);
  EXPECT_EQ(tcp.rx_rdptr, card_line) << "the consumed FIN is given back";

  tcp.handshake_time = {};  // an answer to a repeated FIN would be due: none may go
  const auto payload = pattern(3000);
  EXPECT_EQ(tcp_send_ready(tcp), 1);
  EXPECT_EQ(tcp_send(tcp, payload.data(), 100, nullptr), 0);
  EXPECT_EQ(tcp_send(tcp, payload.data(), 3000, nullptr), 0);
  ASSERT_EQ(hw.tx_pio_.writes.size(), 4u);
  EXPECT_EQ(hw.tx_pio_.writes[1].desc.ack, start + 1) << "data acknowledges the FIN";
  EXPECT_EQ(hw.control.size(), 1u);

  const uint32_t fin_seq = tcp.tx_seq.load().v;
  tcp.disconnect();
  EXPECT_EQ(tcp.state, TCP_LAST_ACK);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_FIN | TCP_ACK);
  EXPECT_EQ(last_control().desc.seq, fin_seq);
  EXPECT_EQ(tcp_send(tcp, payload.data(), 100, nullptr), -ECONNRESET);
  EXPECT_EQ(tcp_send_ready(tcp), 0);
}

// The peer resets a half-closed connection: the send's control scan finds it.
TEST_F(DataSend, CloseWait_PeerResetEndsSending) {
  put(rx_at(0), TCP_FIN | TCP_ACK, 0, true);
  const void* data = nullptr;
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), -ENOTCONN);
  ASSERT_EQ(tcp.state, TCP_CLOSE_WAIT);
  put(rx_at(0), TCP_RST, 0, true);
  block().fin_rst_flags = 3;
  const auto payload = pattern(3000);
  EXPECT_EQ(tcp_send(tcp, payload.data(), 3000, nullptr), -ENOTCONN);
  EXPECT_EQ(tcp.state, TCP_CLOSE);
  EXPECT_TRUE(hw.tx_pio_.writes.empty());
}

// After our FIN the receive goes on: 0 while nothing has come, the peer's data when it
// comes, the end of its stream once its FIN is reached.
TEST_F(DataReceive, FinWait1_ReceiveGoesOnUntilThePeersFin) {
  tcp.disconnect();
  ASSERT_EQ(tcp.state, TCP_FIN_WAIT1);
  const void* data = &data;
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), 0);
  EXPECT_EQ(data, nullptr);
  put(rx_at(0), TCP_ACK, 200);
  put(rx_at(200), TCP_FIN | TCP_ACK, 0, true);
  consume(200);
  EXPECT_EQ(tcp.state, TCP_TIME_WAIT);
  EXPECT_EQ(last_control().desc.tcp_flags, TCP_ACK);
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), -ENOTCONN);
}

// After our FIN the peer may still send: its data arrives, its FIN then ends it.
TEST_F(DataReceive, FinWait2_DataStillArrives) {
  tcp.disconnect();
  deliver({TCP_ACK});
  ASSERT_EQ(tcp.state, TCP_FIN_WAIT2);
  put(rx_at(0), TCP_FIN | TCP_ACK, 60, true);
  consume(60);
  EXPECT_EQ(tcp.state, TCP_TIME_WAIT);
}

// A segment without payload from before our window (a keepalive, a probe of our window,
// both at rx_seq - 1) that the card left to software draws one ACK of where we are,
// however often the ring is walked, whether the receive meets it first or the release
// passes it behind consumed data; a flagged pure ACK at rx_seq draws none.
TEST_F(DataReceive, BeforeWindow_ProbeAnsweredOncePureAckNot) {
  const uint32_t start = tcp.rx_seq.load().v;
  put(start, TCP_ACK, 0, true);
  const uint8_t* probe = put(start - 1, TCP_ACK, 0, true);
  const void* data = nullptr;
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), 0);
  EXPECT_EQ(take_doorbell(), doorbell_for(start));
  EXPECT_EQ(sw_flag(probe), 0);
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), 0);
  EXPECT_EQ(take_doorbell(), 0u) << "once per segment";
  // Behind data the receive stops short of it; the release answers it as it passes.
  put(start, TCP_ACK, 100);
  const uint8_t* behind = put(start - 1, TCP_ACK, 0, true);
  put(start + 100, TCP_ACK, 0, true);
  expect_receive(start, 100);
  EXPECT_EQ(sw_flag(behind), 1);
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(take_doorbell(), doorbell_for(start + 100));
  EXPECT_EQ(take_doorbell(), 0u);
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), 0);
  EXPECT_EQ(take_doorbell(), 0u) << "the pure ACK at rx_seq";
}

TEST_F(DataReceive, Reset_EndsReceiving) {
  put(rx_at(0), TCP_RST, 0, true);
  const void* data = nullptr;
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), -ENOTCONN);
  EXPECT_EQ(tcp.state, TCP_CLOSE);
}

// A slot too short for a TCP header is passed over and given back.
TEST_F(DataReceive, ShortSlot_PassedOverAndReleased) {
  put_raw(std::vector<uint8_t>(10, 0), false, 0);
  put(rx_at(0), TCP_ACK, 30);
  consume(30);
  EXPECT_EQ(tcp.rx_rdptr, 8);
}

// A claimed length that runs past the end of the ring is not read, here where the ring
// ends at an inaccessible page; the release gives the slot back.
TEST_F(DataReceive, SlotPastTheRingEnd_NotRead) {
  zt::page_end pages;
  ASSERT_EQ(hw.rx_dma_.attach(pages.pages.p, 2 * 4096), 0);
  const int last = hw.rx_dma_.lines_ - 1;
  uint8_t* s = hw.rx_dma_.slot(last);
  auto bytes = vyxtcp_test::tcp_bytes(rx_at(0), tcp.tx_seq.load().v, TCP_ACK, 0, {}, 0);
  bytes[12] = 0xf0;  // a 60-byte header: its options would lie past the ring
  memcpy(s + hw.rx_dma_.hdr_len_, bytes.data(), bytes.size());
  const uint16_t len = 0x3fff;
  memcpy(s, &len, sizeof len);
  tcp.rx_rdptr = hw.rx_dma_.rdptr_ = last;
  const void* data = nullptr;
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), 0);
  tcp_zc_receive_done(tcp);
  EXPECT_EQ(tcp.rx_rdptr, 0);
}

// Every slot of the ring written, none in order: the walk ends after one lap.
TEST_F(DataReceive, FullRingOutOfOrder_WalkEnds) {
  do put(rx_at(1000), TCP_ACK, 10);
  while (card_line != 0);
  const void* data = nullptr;
  EXPECT_EQ(tcp_zc_receive(tcp, &data, nullptr, 0), 0);
  EXPECT_EQ(data, nullptr);
}

}  // namespace
