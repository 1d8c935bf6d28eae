// FIONREAD (SIOCINQ) and SIOCOUTQ on a socket that the card serves: the kernel twin
// knows nothing of the card's traffic, so the card's ring answers. Programs size their
// reads by the first, so an answer of 0 with bytes waiting would keep them from reading.
#include "queued_bytes.h"

#include <cerrno>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include "zorvsock.h"

namespace kvel {

namespace {

// The bytes the next receive can take: the held segment's rest, or the next in-order
// segment (the ring is not walked beyond it, so more may be waiting).
int tcp_bytes_ready(socket_record* r) {
  if (r->rx_segment != nullptr) return int(r->rx_segment_left);
  const void* data = nullptr;
  const int n = zorvsock_tcp_zc_receive(r->handle, &data, nullptr);
  return n > 0 ? n : 0;
}

// The next datagram's length, 0 when none waits; it stays in the ring.
int udp_next_length(socket_record* r) {
  const void* data = nullptr;
  const int n = zorvsock_udp_zc_receive(r->handle, &data, nullptr);
  return n > 0 ? n : 0;
}

}  // namespace

bool queue_request(unsigned long request) {
  return request == SIOCINQ || request == SIOCOUTQ;
}

bool card_answers_queue(const socket_record* r) {
  return r->handle != nullptr &&
         (r->kind == RECORD_TCP || r->kind == RECORD_TCP_LISTENER || r->kind == RECORD_UDP);
}

// The card reports no count of sent bytes waiting for the peer's acknowledgement (TCP)
// or for the wire (UDP): SIOCOUTQ answers 0, what the kernel answers once everything
// sent has been acknowledged.
int queued_bytes(socket_record* r, unsigned long request, int* count) {
  if (r->kind == RECORD_TCP_LISTENER) return EINVAL;
  if (request == SIOCOUTQ) {
    *count = 0;
    return 0;
  }
  *count = r->kind == RECORD_TCP ? tcp_bytes_ready(r) : udp_next_length(r);
  return 0;
}

}  // namespace kvel
