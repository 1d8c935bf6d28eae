// The bytes queued on a card socket, for ioctl's FIONREAD (SIOCINQ) and SIOCOUTQ.
#pragma once
#include "socket_record.h"

namespace kvel {

bool queue_request(unsigned long request);
// The record has a session whose ring holds the answer; others go to the kernel socket.
bool card_answers_queue(const socket_record* r);
// Read with the slot claimed: 0 and *count, or an errno value.
int queued_bytes(socket_record* r, unsigned long request, int* count);

}  // namespace kvel
