// The card simulator's retransmission bookkeeping: the RFC 6298 timeout estimate, the
// queue of unacknowledged segments, the timer with its back-off and its limit, and fast
// retransmit with partial ACKs while recovering.
#include "sim_retx.h"

#include <gtest/gtest.h>

namespace {

using zsim::NS_PER_MS;
using zsim::retx_action;

constexpr int64_t MS = NS_PER_MS;
constexpr uint32_t ISN = 5000;
constexpr uint32_t SEG = 100;  // payload bytes of each segment
constexpr uint16_t WINDOW = 8192;

struct rto_case {
  const char* what;
  std::vector<int64_t> samples_ms;
  int64_t rto_ms;
};

TEST(SimRto, FollowsTheSmoothedEstimateWithinItsBounds) {
  const rto_case cases[] = {
      {"no sample: the initial second", {}, 1000},
      {"first sample: srtt + 4 * srtt / 2", {100}, 300},
      {"below the floor", {1}, 200},
      // rttvar (3 * 50 + 100) / 4 = 62.5, srtt (7 * 100 + 200) / 8 = 112.5
      {"second sample", {100, 200}, 362},
      {"above the ceiling", {40000}, 60000},
  };
  for (const rto_case& c : cases) {
    zsim::rto_estimator e;
    for (int64_t ms : c.samples_ms) e.sample(ms * MS);
    EXPECT_EQ(e.rto_ns / MS, c.rto_ms) << c.what;
  }
}

TEST(SimRto, BackOffDoublesUpToTheCeilingAndProgressRestoresIt) {
  zsim::rto_estimator e;
  e.sample(100 * MS);
  e.back_off();
  EXPECT_EQ(e.rto_ns, 600 * MS);
  for (int i = 0; i < 20; ++i) e.back_off();
  EXPECT_EQ(e.rto_ns, zsim::RTO_MAX_NS);
  e.restore();
  EXPECT_EQ(e.rto_ns, 300 * MS);
}

// A queue holding n segments of SEG bytes from ISN, sent at time 0.
struct SimRetxQueue : ::testing::Test {
  zsim::retx_queue q;
  unsigned char frame[64] = {};
  uint32_t snd_nxt = ISN;

  void SetUp() override { zsim::retx_configure(q, 3, 200 * MS); }
  void send(int n, int64_t now = 0) {
    for (int i = 0; i < n; ++i, snd_nxt += SEG) {
      frame[0] = uint8_t(snd_nxt);
      zsim::retx_keep(q, snd_nxt, SEG, frame, sizeof frame, now);
    }
  }
  retx_action ack(uint32_t ack, int64_t now, bool pure = true, uint16_t window = WINDOW) {
    return zsim::retx_ack(q, {ack, window, pure, snd_nxt}, now);
  }
  uint32_t first_seq() const { return q.segments.front().seq; }
};

TEST_F(SimRetxQueue, AcknowledgedSegmentsLeaveAndGiveARoundTripSample) {
  send(3);
  EXPECT_EQ(q.deadline_ns, 1000 * MS);
  EXPECT_EQ(ack(ISN + SEG, 40 * MS), retx_action::none);
  ASSERT_EQ(q.segments.size(), 2u);
  EXPECT_EQ(first_seq(), ISN + SEG);
  EXPECT_EQ(q.rto.srtt_ns, 40 * MS);
  EXPECT_EQ(q.deadline_ns, 40 * MS + 200 * MS);
  // Part of a segment acknowledged: it stays whole.
  ack(ISN + SEG + SEG / 2, 50 * MS);
  EXPECT_EQ(q.segments.size(), 2u);
  ack(snd_nxt, 60 * MS);
  EXPECT_TRUE(q.segments.empty());
  EXPECT_EQ(q.deadline_ns, 0);
  // The software resending what the peer already has is not kept again.
  zsim::retx_keep(q, ISN, SEG, frame, sizeof frame, 70 * MS);
  EXPECT_TRUE(q.segments.empty());
}

TEST_F(SimRetxQueue, TimeoutsResendTheFirstSegmentWithDoublingGapsThenGiveUp) {
  send(2);
  std::vector<int64_t> resent_at;
  for (int64_t now = 0; now < 60000 * MS; now += MS) {
    retx_action a = zsim::retx_timer(q, now);
    if (a == retx_action::give_up) break;
    if (a == retx_action::resend_first) {
      EXPECT_EQ(first_seq(), ISN);
      resent_at.push_back(now / MS);
    }
  }
  EXPECT_EQ(resent_at, (std::vector<int64_t>{1000, 3000, 7000}));
  EXPECT_TRUE(q.stopped);
  EXPECT_TRUE(q.segments.empty());
  EXPECT_EQ(zsim::retx_timer(q, 120000 * MS), retx_action::none);
  send(1);
  EXPECT_TRUE(q.segments.empty());
}

TEST_F(SimRetxQueue, KarnsRuleKeepsResentSegmentsOutOfTheEstimate) {
  send(1);
  EXPECT_EQ(zsim::retx_timer(q, 1000 * MS), retx_action::resend_first);
  EXPECT_EQ(q.rto.rto_ns, 2000 * MS);
  ack(snd_nxt, 1010 * MS);
  EXPECT_FALSE(q.rto.sampled);
  EXPECT_EQ(q.rto.rto_ns, 1000 * MS);  // progress ends the back-off
  EXPECT_EQ(q.retries, 0);
}

TEST_F(SimRetxQueue, ThirdDuplicateAckResendsOnceAndPartialAcksResendTheNextHole) {
  send(4);
  ack(ISN + SEG, 10 * MS);
  // Not duplicates: data on it, another window.
  EXPECT_EQ(ack(ISN + SEG, 11 * MS, false), retx_action::none);
  EXPECT_EQ(ack(ISN + SEG, 11 * MS, true, WINDOW + 1), retx_action::none);
  EXPECT_EQ(ack(ISN + SEG, 12 * MS, true, WINDOW + 1), retx_action::none);
  EXPECT_EQ(ack(ISN + SEG, 13 * MS, true, WINDOW + 1), retx_action::none);
  EXPECT_EQ(ack(ISN + SEG, 14 * MS, true, WINDOW + 1), retx_action::resend_first);
  EXPECT_EQ(first_seq(), ISN + SEG);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(ack(ISN + SEG, 15 * MS, true, WINDOW + 1), retx_action::none) << i;
  EXPECT_EQ(ack(ISN + 2 * SEG, 20 * MS), retx_action::resend_first);
  EXPECT_EQ(first_seq(), ISN + 2 * SEG);
  EXPECT_EQ(ack(snd_nxt, 30 * MS), retx_action::none);
  EXPECT_FALSE(q.recovering);
}

TEST_F(SimRetxQueue, OldAndUnsentAcknowledgementsAreIgnored) {
  send(2);
  ack(ISN + SEG, 10 * MS);
  EXPECT_EQ(ack(ISN, 11 * MS), retx_action::none);
  EXPECT_EQ(ack(snd_nxt + 1, 12 * MS), retx_action::none);
  EXPECT_EQ(q.segments.size(), 1u);
  EXPECT_EQ(q.last_ack, ISN + SEG);
}

TEST_F(SimRetxQueue, StopFreesTheCopies) {
  send(3);
  zsim::retx_stop(q);
  EXPECT_TRUE(q.segments.empty());
  EXPECT_EQ(zsim::retx_timer(q, 5000 * MS), retx_action::none);
  EXPECT_EQ(ack(ISN + SEG, 10 * MS), retx_action::none);
}

}  // namespace
