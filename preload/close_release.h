// close of a card TCP connection that still carries data: our FIN goes out after the data
// and close returns at once; the connection is released later by the monitor thread.
#pragma once

namespace kvel {

// The monitor's part, once a pass: releases the closed connections whose data and FIN
// the peer has acknowledged, or whose time is up. True while any is left.
bool release_closed_connections();

// A forked child does not own its parent's closing connections.
void forget_closed_connections_after_fork();

}  // namespace kvel
