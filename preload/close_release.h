// close of a card TCP connection that still carries data: our FIN goes out after the data
// and close returns at once; the connection is released later by the monitor thread.
#pragma once

namespace kvel {

// The record's part of closing fd, entered with fd's slot claimed: the record is freed,
// or handed to the monitor when its connection still delivers data. False when another
// close of fd took the record first. The kernel's descriptor is the caller's to close.
bool close_record(int fd);
// The same for a descriptor whose kernel object is already gone (closed behind the
// interposer's back): our FIN still goes out, without a twin to hold the port.
bool forget_record(int fd);

// The monitor's part, once a pass: releases the closed connections whose data and FIN
// the peer has acknowledged, or whose time is up. True while any is left.
bool release_closed_connections();

// A forked child does not own its parent's closing connections.
void forget_closed_connections_after_fork();

}  // namespace kvel
