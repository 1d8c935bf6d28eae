// The receive time-stamp control messages of recvmsg and recvmmsg on a card socket.
#pragma once
#include <cstdint>
#include <sys/socket.h>

#include "socket_record.h"

namespace kvel {

// Writes the control message of the record's time-stamp mode for bytes received at
// rx_ns (the card's clock, less the interface's RX correction; 0: no bytes, no message)
// into msg's control buffer, and sets msg_controllen to the bytes written. A buffer too
// short for the message gets what fits of it and MSG_CTRUNC, as the kernel's does.
void put_receive_time(const socket_record* r, msghdr* msg, uint64_t rx_ns);

}  // namespace kvel
