// The TCP sessions on the datapath: segments taken from their TX windows and the ACKs
// their doorbells ask for leave on their port's wire (each doorbell write reaches the
// card as a message of the session's descriptor, in order); segments of a bound connection
// from the wire go into its ring (or only into its acknowledgement block) and never to
// the host kernel, which knows nothing of the connection and would reset it; SYNs for
// a registered listener go to its queue. The payload the peer has not acknowledged is
// the card's to resend (sim_tcp_retx).
#pragma once
#include <cstddef>

#include "sim_card.h"

namespace zsim {

struct sim_session;

// Takes the complete sends waiting in every enabled window, a few per session, and
// resends what the timers call for; the number of frames sent.
int tcp_tx_poll(sim_card& card);
// One write of the ACK doorbell (ack 31..0, window 47..32, TTL 57..50): one pure ACK at
// the card's snd_nxt. The caller holds the table's mutex.
void tcp_doorbell(sim_session& s, uint64_t value);
// At the session's release: the sends still waiting, then the reset when it is armed.
// The caller holds the table's mutex.
void tcp_release(sim_session& s);
// True when the frame belonged to a bound connection or a listener of the port (taken
// or dropped for it); false leaves it to the host interface.
bool tcp_rx_take(sim_card& card, sim_port& port, const unsigned char* frame, size_t len);
// A frame the host interface sends: control segments the software sends itself move
// the card's snd_nxt of their connection.
void tcp_host_frame(sim_card& card, sim_port& port, const unsigned char* frame, size_t len);

}  // namespace zsim
