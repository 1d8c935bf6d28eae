// Where a datagram sent with a destination goes from a hardware UDP socket.
#pragma once
#include <sys/socket.h>
#include <sys/types.h>

#include "data_call.h"

namespace kvel {

inline constexpr long aim_card = 0;    // the session points at the destination
inline constexpr long aim_kernel = 1;  // the kernel twin sends it

// Points the socket's session at the destination of a datagram (null: the connected one)
// when it points elsewhere. A destination that the card cannot reach (another address
// family, port 0, no route or neighbour on the card's interface) goes through the kernel
// twin, which is bound to the same port and is never connected by this; the session
// then keeps its destination. The connected destination stays what connect made it.
long aim_datagram(data_call& c, const sockaddr* dest, socklen_t len);

// The first datagram of an unconnected socket without a session. A destination behind a
// card interface gets the socket its session (by connect, which binds the kernel twin to
// the session's port but never connects it): true with the slot claimed again and the
// record ready to send. Any other destination is the kernel twin's, which stays
// unconnected, so that later datagrams may go anywhere: false with the slot given back.
// `name` is the sending call's, for its trace line of the connect.
bool open_session_for(data_call& c, const char* name, const sockaddr* dest, socklen_t len);

// An unconnected datagram socket without a session, sending to a destination.
inline bool first_datagram(const data_call& c, const void* dest) {
  return dest != nullptr && c.rec->kind == RECORD_INET && c.rec->type == SOCK_DGRAM;
}

}  // namespace kvel
