// The passive opens of a card listener, run ahead of accept. A queued SYN is answered at
// once into a handle of its own and its handshake completes in the background (on the
// connection's worker), so that a listener is readable only when accept can take a
// connection without waiting, and a client that sends a SYN and nothing more stalls no
// caller. A handshake not done within a few seconds is given up, as the library's own
// accept gives it up. The listener's slot is held for every call.
#pragma once
#include "socket_record.h"

namespace kvel {

// Moves the listener's handshakes on: failed and overdue ones are given up, queued SYNs
// answered while there is room. True when one is done and accept may take it.
bool handshake_done(socket_record* listener);

// The handle of a finished handshake, taken out of the listener; null when none is.
zorvsock_handle* take_handshake(socket_record* listener);

// Gives up every handshake of the listener (its close).
void drop_handshakes(socket_record* listener);

}  // namespace kvel
