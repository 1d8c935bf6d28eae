// The card's data retransmission on a bound TCP session: the segments with payload
// that its TX window sends are kept until the peer acknowledges them and resent on
// timeout and on duplicate ACKs, and a peer's shut window is probed; the handshake, FIN
// and RST stay the software's to resend. Our reset ends it, and so does the peer's
// unless it is stale (from before what the card has received). The caller holds
// the session table's mutex.
#pragma once
#include <cstddef>
#include <cstdint>

#include "sim_retx.h"
#include "sim_tcp.h"

namespace zsim {

struct sim_session;

// A segment of the connection that left for the peer as frame.
void retx_sent(sim_session& s, const tcp_tx_desc& d, const unsigned char* frame, size_t len);
// A segment from the peer with valid checksums, whatever becomes of it afterwards.
void retx_peer(sim_session& s, const tcp_view& v);
// The timers at now. A resend is done here; a window probe (retx_action::probe) is the
// caller's to send; retx_action::give_up once the card stops retransmitting the
// connection for good.
retx_action retx_poll(sim_session& s, int64_t now);

}  // namespace zsim
