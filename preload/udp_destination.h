// Where a datagram sent with a destination goes from a hardware UDP socket.
#pragma once
#include <sys/socket.h>
#include <sys/types.h>

#include "data_call.h"

namespace kvel {

inline constexpr long aim_card = 0;    // the session points at the destination
inline constexpr long aim_kernel = 1;  // the kernel twin sends it

// Points the socket's session at the destination when it points elsewhere: the record
// takes the new destination only once the session has it. A destination that the card
// cannot reach (another address family, port 0, no route or neighbour on the card's
// interface) goes through the kernel twin, which is bound to the same port and is never
// connected by this; the session then points at the record's destination again.
long aim_datagram(data_call& c, const sockaddr* dest, socklen_t len);

// A result of the C library as a result of the data paths: bytes, or -errno.
inline long kernel_result(ssize_t r) { return r < 0 ? -long(errno) : long(r); }

}  // namespace kvel
