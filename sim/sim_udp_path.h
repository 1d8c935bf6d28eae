// The UDP sessions on the datapath: sends taken from their TX windows leave on their
// port's wire; datagrams from the wire that a session's filter takes go into its ring
// and no further.
#pragma once
#include <cstddef>

#include "sim_card.h"

namespace zsim {

struct sim_session;

// Takes the complete sends waiting in every enabled window, a few per session; the
// number taken.
int udp_tx_poll(sim_card& card);
// Takes every complete send still waiting in a session's window: at its release, as
// the card would have sent them long before. The caller holds the table's mutex.
void udp_tx_flush(sim_session& s);
// True when the frame was a datagram for one or more sessions of the port (placed in
// their rings or dropped for them); false leaves it to the host interface.
bool udp_rx_take(sim_card& card, sim_port& port, const unsigned char* frame, size_t len);

}  // namespace zsim
