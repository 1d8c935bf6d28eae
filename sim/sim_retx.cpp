#include "sim_retx.h"

#include <algorithm>

#include "sim_tcp.h"

namespace zsim {
namespace {

constexpr int64_t CLOCK_GRANULARITY_NS = NS_PER_MS;

// A resend of the first segment: no round-trip sample from it, and the timer restarted
// so that its answer has a whole timeout to come.
retx_action resend_first(retx_queue& q, int64_t now) {
  q.segments.front().resent = true;
  ++q.retries;
  q.deadline_ns = now + q.rto.rto_ns;
  return retx_action::resend_first;
}

// A resend the ACKs ask for; past the limit only the timer resends (and gives up).
retx_action ack_resend(retx_queue& q, int64_t now) {
  if (q.segments.empty() || q.retries >= q.max_retries) return retx_action::none;
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

void retx_configure(retx_queue& q, int max_retries, int64_t rto_min_ns) {
  q.max_retries = max_retries;
  q.rto.min_ns = rto_min_ns;
  q.rto.restore();
}

void retx_keep(retx_queue& q, uint32_t seq, uint32_t len, const unsigned char* frame,
               size_t frame_len, int64_t now) {
  uint32_t end = seq + len;
  if (q.stopped || len == 0) return;
  if (q.ack_known && !seq_after(end, q.last_ack)) return;
  if (!q.segments.empty() && !seq_after(end, q.segments.back().end)) return;
  q.segments.push_back(
      {seq, end, now, false, std::vector<unsigned char>(frame, frame + frame_len)});
  if (q.deadline_ns == 0) q.deadline_ns = now + q.rto.rto_ns;
}

retx_action retx_ack(retx_queue& q, const retx_ack_in& a, int64_t now) {
  // An ACK of data never sent, or one overtaken by a later ACK, says nothing.
  if (q.stopped || seq_after(a.ack, a.snd_nxt)) return retx_action::none;
  if (q.ack_known && seq_after(q.last_ack, a.ack)) return retx_action::none;
  if (q.ack_known && a.ack == q.last_ack) return repeated_ack(q, a, now);
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
  q.retries = 0;
  q.deadline_ns = q.segments.empty() ? 0 : now + q.rto.rto_ns;
  if (!q.recovering) return retx_action::none;
  if (!seq_after(q.recover, a.ack)) {
    q.recovering = false;
    return retx_action::none;
  }
  return ack_resend(q, now);  // a partial ACK: the next hole
}

retx_action retx_timer(retx_queue& q, int64_t now) {
  if (q.stopped || q.deadline_ns == 0 || now < q.deadline_ns) return retx_action::none;
  if (q.segments.empty()) {
    q.deadline_ns = 0;
    return retx_action::none;
  }
  if (q.retries >= q.max_retries) {
    retx_stop(q);
    return retx_action::give_up;
  }
  q.rto.back_off();
  // What was sent before the timeout may be lost as well: partial ACKs resend it.
  q.recovering = true;
  q.recover = q.segments.back().end;
  q.dup_acks = 0;
  return resend_first(q, now);
}

void retx_stop(retx_queue& q) {
  q.stopped = true;
  q.deadline_ns = 0;
  std::deque<retx_segment>().swap(q.segments);
}

}  // namespace zsim
