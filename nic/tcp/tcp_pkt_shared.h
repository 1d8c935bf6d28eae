// One send-only packet socket per interface for all the process's hardware TCP
// sessions: a connection's control segments need no socket of their own, and a process
// with thousands of connections would otherwise spend a descriptor on each. Each send
// is one whole frame, so sessions on different threads share a socket safely.
#pragma once

namespace kvel {

// A packet socket bound to the interface of index ifindex (made, or handed over by
// the daemon, on the first call for it), counted once more; -1 when none can be had.
int pkt_socket_acquire(int ifindex);
// Gives back one count of fd; the last closes it. A descriptor the table never gave
// out is closed at once.
void pkt_socket_release(int fd);

}  // namespace kvel
