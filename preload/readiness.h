// What a managed descriptor is ready for, in the terms of poll's events, for the select
// and poll waits (and the epoll wait after them).
#pragma once
#include "socket_record.h"

namespace kvel {

// A record without a hardware session (a socket not yet bound or connected to the card)
// is answered by its kernel socket, which stands in for it until then: an unconnected
// UDP socket is writable there, an unconnected TCP socket reports POLLOUT|POLLHUP.
inline bool kernel_answers(const socket_record* r) {
  return r->handle == nullptr && r->kind <= RECORD_INET;
}

// The events that hold now for a record with a hardware session, read with its slot
// claimed: POLLIN, POLLOUT, POLLRDHUP, POLLHUP and POLLERR as the kernel reports them
// for its own sockets. The readable tests only look at the next segment or datagram, so
// the application's next receive gets it.
short record_events(socket_record* r);

}  // namespace kvel
