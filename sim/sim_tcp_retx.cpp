#include "sim_tcp_retx.h"

#include "sim_card.h"
#include "sim_datapath.h"
#include "sim_session.h"

namespace zsim {
namespace {

// The first unacknowledged segment again, acknowledging what has been received by now.
void resend_first(sim_session& s, bool fast) {
  retx_segment& seg = s.retx.segments.front();
  const tcp_state& t = s.tcp;
  if (t.rcv_known || t.ack_sent_known)
    tcp_frame_restamp_ack(seg.frame.data(), seg.frame.size(), tcp_ack_now(t));
  wire_send(*s.wire, seg.frame.data(), seg.frame.size());
  bump(s.counters.tx_retransmits, s.wire->counters.tcp_tx_retransmits);
  if (fast) bump(s.counters.tx_fast_retransmits, s.wire->counters.tcp_tx_fast_retransmits);
}

// A reset from before what the card has received is stale: the peer's answer to a
// segment of ours that acknowledged less (its FIN not yet taken, say), which the
// software leaves aside as well. Retransmission goes on, and the peer's answer to the
// next resend, which acknowledges all, ends the connection or shows it alive.
bool reset_acceptable(const tcp_state& t, const tcp_view& v) {
  return !t.rcv_known || !seq_after(t.rcv_nxt, v.seq);
}

}  // namespace

void retx_sent(sim_session& s, const tcp_tx_desc& d, const unsigned char* frame, size_t len) {
  if (!s.tcp.bind.bound) return;
  if (d.tcp_flags & TCP_RST) return retx_stop(s.retx);
  if (d.tcp_flags & TCP_CONTROL_FLAGS) return;
  retx_keep(s.retx, d.seq, tcp_desc_seq_len(d), frame, len, monotonic_ns());
}

void retx_peer(sim_session& s, const tcp_view& v) {
  if (v.flags & TCP_RST) {
    if (reset_acceptable(s.tcp, v)) retx_stop(s.retx);
    return;
  }
  if (!(v.flags & TCP_ACK) || !s.tcp.snd_known) return;
  retx_ack_in a{v.ack, v.window, v.payload_len == 0 && !(v.flags & TCP_CONTROL_FLAGS),
                s.tcp.snd_nxt};
  if (retx_ack(s.retx, a, monotonic_ns()) == retx_action::resend_first) resend_first(s, true);
}

retx_action retx_poll(sim_session& s, int64_t now) {
  retx_action act = retx_timer(s.retx, now);
  if (act == retx_action::give_up)
    bump(s.counters.reset_requests, s.wire->counters.tcp_reset_requests);
  if (act == retx_action::resend_first) resend_first(s, false);
  return act;
}

}  // namespace zsim
