// The card simulator's retransmission bookkeeping on a clock the tests set: the RFC 6298
// timeout estimate, the queue of unacknowledged segments, the timer with its back-off up
// to two minutes and the give-up after a stretch without progress, fast retransmit with
// partial ACKs while recovering, and the persist timer's probes of a shut window.
#include "sim_retx.h"

#include <gtest/gtest.h>

namespace {

using zsim::NS_PER_MS;
using zsim::retx_action;

constexpr int64_t MS = NS_PER_MS;
constexpr int64_t S = 1000 * MS;
constexpr int64_t GIVE_UP = 10 * S;
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
      {"above the ceiling", {50000}, 120000},
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

  void SetUp() override { zsim::retx_configure(q, GIVE_UP, 200 * MS); }
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

// The timer's actions from `from` on, in steps of a millisecond, until it gives up or
// `until` comes; answer (when given) is called after each action.
struct timeline {
  std::vector<int64_t> resent_ms, probed_ms;
  int64_t gave_up_ms = -1;
};
template <typename Answer>
timeline run_timer(zsim::retx_queue& q, int64_t from, int64_t until, Answer answer) {
  timeline t;
  for (int64_t now = from; now < until && t.gave_up_ms < 0; now += MS) {
    const retx_action a = zsim::retx_timer(q, now);
    if (a == retx_action::none) continue;
    if (a == retx_action::give_up) t.gave_up_ms = now / MS;
    if (a == retx_action::resend_first) t.resent_ms.push_back(now / MS);
    if (a == retx_action::probe) t.probed_ms.push_back(now / MS);
    answer(now);
  }
  return t;
}
timeline run_timer(zsim::retx_queue& q, int64_t from, int64_t until) {
  return run_timer(q, from, until, [](int64_t) {});
}

TEST_F(SimRetxQueue, TimeoutsResendTheFirstSegmentWithDoublingGapsThenGiveUpInTime) {
  send(2);
  const timeline t = run_timer(q, 0, 60 * S);
  // Had the card gone on, its next resend would have come at 15 s.
  EXPECT_EQ(t.resent_ms, (std::vector<int64_t>{1000, 3000, 7000}));
  EXPECT_EQ(t.gave_up_ms, GIVE_UP / MS);
  EXPECT_TRUE(t.probed_ms.empty());
  EXPECT_TRUE(q.stopped);
  EXPECT_TRUE(q.segments.empty());
  EXPECT_EQ(zsim::retx_timer(q, 120000 * MS), retx_action::none);
  send(1);
  EXPECT_TRUE(q.segments.empty());
}

// With the defaults the gaps double up to two minutes and stay there; the card gives up
// fifteen minutes after the send, the moment it would otherwise have resent at 967 s.
TEST(SimRetxDefaults, TimeoutsAreCappedAtTwoMinutesAndTheCardGivesUpAfterFifteen) {
  zsim::retx_queue q;
  unsigned char frame[64] = {};
  zsim::retx_keep(q, ISN, SEG, frame, sizeof frame, 0);
  const timeline t = run_timer(q, 0, 1200 * S);
  EXPECT_EQ(t.resent_ms, (std::vector<int64_t>{1000, 3000, 7000, 15000, 31000, 63000, 127000,
                                               247000, 367000, 487000, 607000, 727000, 847000}));
  EXPECT_EQ(t.gave_up_ms, 900000);
  EXPECT_EQ(q.rto.rto_ns, zsim::RTO_MAX_NS);
}

// Progress restarts the give-up clock: the second segment, acknowledged never, is given
// up GIVE_UP after the ACK of the first, not after its own send.
TEST_F(SimRetxQueue, AnAckOfNewDataRestartsTheGiveUpClock) {
  send(2);
  timeline t = run_timer(q, 0, 5 * S);
  EXPECT_EQ(t.resent_ms, (std::vector<int64_t>{1000, 3000}));
  ack(ISN + SEG, 5 * S);
  t = run_timer(q, 5 * S, 60 * S);
  EXPECT_EQ(t.resent_ms, (std::vector<int64_t>{6000, 8000, 12000}));
  EXPECT_EQ(t.gave_up_ms, 15000);
}

TEST_F(SimRetxQueue, KarnsRuleKeepsResentSegmentsOutOfTheEstimate) {
  send(1);
  EXPECT_EQ(zsim::retx_timer(q, 1000 * MS), retx_action::resend_first);
  EXPECT_EQ(q.rto.rto_ns, 2000 * MS);
  ack(snd_nxt, 1010 * MS);
  EXPECT_FALSE(q.rto.sampled);
  EXPECT_EQ(q.rto.rto_ns, 1000 * MS);  // progress ends the back-off
  EXPECT_EQ(q.progress_ns, 1010 * MS);
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

// ---- Persist timer ---------------------------------------------------------------------

// The peer takes everything and shuts its window (a round trip of 40 ms: the timeout
// is its floor, 200 ms). The card probes after one timeout, then at doubling gaps up to
// two minutes. A peer that answers each probe is waited for, past the give-up time;
// once its window opens the probes stop.
TEST_F(SimRetxQueue, AShutWindowIsProbedAtDoublingGapsUpToTwoMinutesWhileThePeerAnswers) {
  zsim::retx_configure(q, zsim::GIVE_UP_DEFAULT_NS, 200 * MS);
  send(1);
  EXPECT_EQ(ack(snd_nxt, 40 * MS, true, 0), retx_action::none);
  EXPECT_EQ(q.deadline_ns, 0);
  timeline t =
      run_timer(q, 40 * MS, 1000 * S, [&](int64_t now) { ack(snd_nxt, now + MS, true, 0); });
  EXPECT_EQ(t.gave_up_ms, -1);
  EXPECT_TRUE(t.resent_ms.empty());
  ASSERT_GE(t.probed_ms.size(), 10u);
  std::vector<int64_t> gaps;
  for (size_t i = 1; i < t.probed_ms.size(); ++i) gaps.push_back(t.probed_ms[i] - t.probed_ms[i - 1]);
  EXPECT_EQ(t.probed_ms[0], 240);
  EXPECT_EQ(std::vector<int64_t>(gaps.begin(), gaps.begin() + 9),
            (std::vector<int64_t>{400, 800, 1600, 3200, 6400, 12800, 25600, 51200, 102400}));
  for (size_t i = 9; i < gaps.size(); ++i) EXPECT_EQ(gaps[i], 120000) << i;
  // The window opens: no probe any more.
  EXPECT_EQ(ack(snd_nxt, 1000 * S, true, WINDOW), retx_action::none);
  EXPECT_EQ(q.probe_deadline_ns, 0);
  t = run_timer(q, 1000 * S, 2000 * S);
  EXPECT_TRUE(t.probed_ms.empty());
  EXPECT_EQ(t.gave_up_ms, -1);
}

// Probes nobody answers: the card gives up at the first probe due GIVE_UP or more after
// the last sign of the peer.
TEST_F(SimRetxQueue, UnansweredProbesGiveUp) {
  send(1);
  ack(snd_nxt, 40 * MS, true, 0);
  const timeline t = run_timer(q, 40 * MS, 60 * S);
  EXPECT_EQ(t.probed_ms, (std::vector<int64_t>{240, 640, 1440, 3040, 6240}));
  EXPECT_EQ(t.gave_up_ms, 12640);
  EXPECT_TRUE(q.stopped);
}

// Data in flight behind a shut window is the retransmission timer's to probe: no persist
// probe while the peer holds unacknowledged data, and none once data goes out again.
TEST_F(SimRetxQueue, DataInFlightLeavesTheShutWindowToTheRetransmissionTimer) {
  zsim::retx_configure(q, zsim::GIVE_UP_DEFAULT_NS, 200 * MS);
  send(2);
  ack(ISN + SEG, 40 * MS, true, 0);
  EXPECT_EQ(q.probe_deadline_ns, 0);
  ack(snd_nxt, 50 * MS, true, 0);
  EXPECT_NE(q.probe_deadline_ns, 0);
  send(1, 60 * MS);
  EXPECT_EQ(q.probe_deadline_ns, 0);
  // Each resend is answered behind the shut window: the peer lives, nothing is given up.
  const timeline t = run_timer(q, 60 * MS, 3 * zsim::GIVE_UP_DEFAULT_NS, [&](int64_t now) {
    ack(snd_nxt - SEG, now + MS, true, 0);
  });
  EXPECT_TRUE(t.probed_ms.empty());
  EXPECT_GE(t.resent_ms.size(), 5u);
  EXPECT_EQ(t.gave_up_ms, -1);
}

TEST_F(SimRetxQueue, StopFreesTheCopies) {
  send(3);
  zsim::retx_stop(q);
  EXPECT_TRUE(q.segments.empty());
  EXPECT_EQ(zsim::retx_timer(q, 5000 * MS), retx_action::none);
  EXPECT_EQ(ack(ISN + SEG, 10 * MS), retx_action::none);
}

}  // namespace
