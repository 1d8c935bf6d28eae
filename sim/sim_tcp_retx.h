// The card's data retransmission on a bound TCP session: the segments with payload
// that its TX window sends are kept until the peer acknowledges them and resent on
// timeout and on duplicate ACKs; the handshake, FIN and RST stay the software's to
// resend. A reset either way ends it. The caller holds the session table's mutex.
#pragma once
#include <cstddef>
#include <cstdint>

#include "sim_tcp.h"

namespace zsim {

struct sim_session;

// A segment of the connection that left for the peer as frame.
void retx_sent(sim_session& s, const tcp_tx_desc& d, const unsigned char* frame, size_t len);
// A segment from the peer with valid checksums, whatever becomes of it afterwards.
void retx_peer(sim_session& s, const tcp_view& v);
// The retransmission timer at now: the frames resent; *gave_up once the card stops
// retransmitting the connection for good.
int retx_poll(sim_session& s, int64_t now, bool* gave_up);

}  // namespace zsim
