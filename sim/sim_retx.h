// The card's retransmission of one connection's data: a copy of every segment with
// payload it sent, in sequence order, kept until the peer's ACK covers it; the
// retransmission timer (RFC 6298 estimate, Karn's rule, doubling back-off up to 120 s);
// fast retransmit on the third duplicate ACK with NewReno-style partial ACKs while
// recovering; the persist timer, which probes a peer whose window is shut; and giving
// up after a stretch of time without progress (Linux's default: about 15 minutes).
// Pure bookkeeping on the caller's clock: the caller sends what it is told to send.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace zsim {

constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t RTO_INITIAL_NS = 1000 * NS_PER_MS;
constexpr int64_t RTO_MAX_NS = 120000 * NS_PER_MS;
constexpr int64_t GIVE_UP_DEFAULT_NS = 15 * 60000 * NS_PER_MS;
constexpr int DUP_ACK_THRESHOLD = 3;

// Smoothed round-trip time and its variation, and the timeout made of them.
struct rto_estimator {
  int64_t min_ns = 200 * NS_PER_MS;
  int64_t srtt_ns = 0, rttvar_ns = 0;
  bool sampled = false;
  int64_t rto_ns = RTO_INITIAL_NS;

  void sample(int64_t rtt_ns);
  // A timeout: the next one waits twice as long, up to the ceiling.
  void back_off();
  // Progress: the timeout from the estimate again (the initial one before any sample).
  void restore();
};

struct retx_segment {
  uint32_t seq = 0, end = 0;
  int64_t sent_ns = 0;
  bool resent = false;  // no round-trip sample from it (Karn)
  std::vector<unsigned char> frame;
};

// An ACK from the peer as retransmission sees it.
struct retx_ack_in {
  uint32_t ack = 0;
  uint16_t window = 0;
  bool pure = false;  // no payload, no SYN, FIN or RST
  uint32_t snd_nxt = 0;
};

enum class retx_action { none, resend_first, probe, give_up };

struct retx_queue {
  std::deque<retx_segment> segments;
  rto_estimator rto;
  int64_t give_up_ns = GIVE_UP_DEFAULT_NS;
  int64_t deadline_ns = 0;  // of the retransmission timer; 0 while stopped
  // Since when the connection has made no progress: the peer's last ACK of new data or
  // sign of life behind a shut window, or the send that found nothing outstanding.
  int64_t progress_ns = 0;
  bool stopped = false;  // gave up, or the connection was reset
  bool ack_known = false;
  uint32_t last_ack = 0;
  uint16_t last_window = 0;
  int dup_acks = 0;
  bool recovering = false;  // a loss episode, until the ACK reaches recover
  uint32_t recover = 0;
  // The persist timer: runs while the peer's window is shut and nothing is outstanding.
  int64_t probe_deadline_ns = 0;  // 0 while stopped
  int64_t probe_interval_ns = 0;  // doubles with each probe, up to the timeout's ceiling
};

void retx_configure(retx_queue& q, int64_t give_up_ns, int64_t rto_min_ns);
// A segment with payload [seq, seq + len) left in frame at now: kept until acknowledged.
// Data already kept or acknowledged (a resend by the software) is not kept again.
void retx_keep(retx_queue& q, uint32_t seq, uint32_t len, const unsigned char* frame,
               size_t frame_len, int64_t now);
// An ACK from the peer: trims the queue, feeds the estimator, asks for the first
// segment to be resent on the third duplicate ACK or on a partial ACK while recovering,
// and starts or stops the persist timer as the window shuts or opens.
retx_action retx_ack(retx_queue& q, const retx_ack_in& a, int64_t now);
// The timers at now: the first segment to resend, a window probe to send, or giving up
// once the connection has gone give_up_ns without progress.
retx_action retx_timer(retx_queue& q, int64_t now);
// Nothing more is resent: the copies are freed.
void retx_stop(retx_queue& q);

}  // namespace zsim
