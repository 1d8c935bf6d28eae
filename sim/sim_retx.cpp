#include "sim_retx.h"

#include <algorithm>

#include "sim_tcp.h"

namespace zsim {
namespace {

constexpr int64_t CLOCK_GRANULARITY_NS = NS_PER_MS;

bool due(int64_t deadline_ns, int64_t now) { return deadline_ns != 0 && now >= deadline_ns; }

bool given_up(const retx_queue& q, int64_t now) { return now - q.progress_ns >= q.give_up_ns; }

retx_action give_up(retx_queue& q) {
  retx_stop(q);
  return retx_action::give_up;
}

// A resend of the first segment: no round-trip sample from it, and the timer restarted
// so that its answer has a whole timeout to come.
retx_action resend_first(retx_queue& q, int64_t now) {
  q.segments.front().resent = true;
  q.deadline_ns = now + q.rto.rto_ns;
  return retx_action::resend_first;
}

retx_action ack_resend(retx_queue& q, int64_t now) {
  if (q.segments.empty()) return retx_action::none;
  return resend_first(q, now);
}

// The peer's ACK repeats the last one: the third in a row starts a loss episode.
retx_action repeated_ack(retx_queue& q, const retx_ack_in& a, int64_t now) {
  bool duplicate =
      a.pure && a.window == q.last_window && seq_after(a.snd_nxt, a.ack) && !q.segments.empty();
  q.last_window = a.window;
  if (!duplicate || ++q.dup_acks != DUP_ACK_THRESHOLD || q.recovering) return retx_action::none;
  q.recovering = true;
  q.recover = a.snd_nxt;
  return ack_resend(q, now);
}

// The peer's ACK takes new data off the queue.
retx_action new_ack(retx_queue& q, const retx_ack_in& a, int64_t now) {
  q.ack_known = true;
  q.last_ack = a.ack;
  q.last_window = a.window;
  q.dup_acks = 0;
  bool ambiguous = false;
  int64_t sent_ns = -1;
  while (!q.segments.empty() && !seq_after(q.segments.front().end, a.ack)) {
    ambiguous |= q.segments.front().resent;
    sent_ns = q.segments.front().sent_ns;
    q.segments.pop_front();
  }
  if (sent_ns >= 0 && !ambiguous) q.rto.sample(now - sent_ns);
  // Progress ends the back-off (Karn's rule still keeps resent segments from the estimate).
  q.rto.restore();
  q.progress_ns = now;
  q.deadline_ns = q.segments.empty() ? 0 : now + q.rto.rto_ns;
  if (!q.recovering) return retx_action::none;
  if (!seq_after(q.recover, a.ack)) {
    q.recovering = false;
    return retx_action::none;
  }
  return ack_resend(q, now);  // a partial ACK: the next hole
}

// After an ACK: a shut window with nothing outstanding is probed until it opens. An ACK
// behind a shut window shows the peer alive, which counts as progress: a receiver that
// keeps its window shut is waited for as long as it answers.
void persist_follow(retx_queue& q, int64_t now) {
  const bool shut = q.last_window == 0;
  if (shut) q.progress_ns = now;
  if (!shut || !q.segments.empty()) {
    q.probe_deadline_ns = 0;
    return;
  }
  if (q.probe_deadline_ns != 0) return;
  q.probe_interval_ns = q.rto.rto_ns;
  q.probe_deadline_ns = now + q.probe_interval_ns;
}

retx_action timeout(retx_queue& q, int64_t now) {
  if (q.segments.empty()) {
    q.deadline_ns = 0;
    return retx_action::none;
  }
  if (given_up(q, now)) return give_up(q);
  q.rto.back_off();
  // What was sent before the timeout may be lost as well: partial ACKs resend it.
  q.recovering = true;
  q.recover = q.segments.back().end;
  q.dup_acks = 0;
  return resend_first(q, now);
}

retx_action probe(retx_queue& q, int64_t now) {
  if (given_up(q, now)) return give_up(q);
  q.probe_interval_ns = std::min(2 * q.probe_interval_ns, RTO_MAX_NS);
  q.probe_deadline_ns = now + q.probe_interval_ns;
  return retx_action::probe;
}

}  // namespace

void rto_estimator::sample(int64_t rtt_ns) {
  rtt_ns = std::max<int64_t>(rtt_ns, 0);
  if (!sampled) {
    srtt_ns = rtt_ns;
    rttvar_ns = rtt_ns / 2;
    sampled = true;
  } else {
    rttvar_ns = (3 * rttvar_ns + std::abs(srtt_ns - rtt_ns)) / 4;
    srtt_ns = (7 * srtt_ns + rtt_ns) / 8;
  }
  restore();
}

void rto_estimator::back_off() { rto_ns = std::min(rto_ns * 2, RTO_MAX_NS); }

void rto_estimator::restore() {
  int64_t rto = sampled ? srtt_ns + std::max(CLOCK_GRANULARITY_NS, 4 * rttvar_ns) : RTO_INITIAL_NS;
  rto_ns = std::clamp(rto, min_ns, RTO_MAX_NS);
}

void retx_configure(retx_queue& q, int64_t give_up_ns, int64_t rto_min_ns) {
  q.give_up_ns = give_up_ns;
  q.rto.min_ns = rto_min_ns;
  q.rto.restore();
}

void retx_keep(retx_queue& q, uint32_t seq, uint32_t len, const unsigned char* frame,
               size_t frame_len, int64_t now) {
  uint32_t end = seq + len;
  if (q.stopped || len == 0) return;
  if (q.ack_known && !seq_after(end, q.last_ack)) return;
  if (!q.segments.empty() && !seq_after(end, q.segments.back().end)) return;
  if (q.segments.empty()) q.progress_ns = now;
  q.segments.push_back(
      {seq, end, now, false, std::vector<unsigned char>(frame, frame + frame_len)});
  q.probe_deadline_ns = 0;  // data in flight: its timer probes the window
  if (q.deadline_ns == 0) q.deadline_ns = now + q.rto.rto_ns;
}

retx_action retx_ack(retx_queue& q, const retx_ack_in& a, int64_t now) {
  // An ACK of data never sent, or one overtaken by a later ACK, says nothing.
  if (q.stopped || seq_after(a.ack, a.snd_nxt)) return retx_action::none;
  if (q.ack_known && seq_after(q.last_ack, a.ack)) return retx_action::none;
  const retx_action act =
      q.ack_known && a.ack == q.last_ack ? repeated_ack(q, a, now) : new_ack(q, a, now);
  persist_follow(q, now);
  return act;
}

retx_action retx_timer(retx_queue& q, int64_t now) {
  if (q.stopped) return retx_action::none;
  // Unacknowledged data is given up at the give-up time itself (progress may move it
  // while the timer runs). A peer behind a shut window can show that it lives only by
  // answering a probe: the persist timer judges at its probes.
  if (q.deadline_ns != 0 && due(std::min(q.deadline_ns, q.progress_ns + q.give_up_ns), now))
    return timeout(q, now);
  if (due(q.probe_deadline_ns, now)) return probe(q, now);
  return retx_action::none;
}

void retx_stop(retx_queue& q) {
  q.stopped = true;
  q.deadline_ns = 0;
  q.probe_deadline_ns = 0;
  std::deque<retx_segment>().swap(q.segments);
}

}  // namespace zsim
