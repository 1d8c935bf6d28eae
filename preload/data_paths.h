// The hardware halves of the receive and send calls, shared by every handler of each
// direction. They run on a claimed descriptor (data_call), may give the slot up while a
// blocking call waits, and return bytes or -errno.
#pragma once
#include <sys/socket.h>

#include "data_call.h"
#include "iov_gather.h"
#include "wait_deadline.h"

namespace kvel {

struct rx_request {
  iov_cursor to;      // the caller's buffers
  int flags;          // MSG_PEEK, MSG_DONTWAIT, MSG_WAITALL, MSG_TRUNC; others ignored
  sockaddr* src;      // where a datagram's source goes; null: not wanted
  socklen_t* srclen;  // its room in, the address's length out; null: not wanted
  int msg_flags;      // out: MSG_TRUNC for a datagram longer than the buffers
  wait_deadline until;  // SO_RCVTIMEO
  uint64_t rx_time;     // out: a datagram's receive time on the card's clock, 0 none
  // The caller's buffers hold a null base under a length: a stream answers EFAULT only
  // once it has bytes to copy, as the kernel's (no data yet: EAGAIN or a wait).
  bool unusable;
};

struct tx_request {
  iov_cursor from;        // the caller's data
  int flags;              // MSG_DONTWAIT, MSG_NOSIGNAL; others ignored
  const sockaddr* dest;   // a datagram's destination; null: the connected one
  socklen_t destlen;
  wait_deadline until;    // SO_SNDTIMEO
};

// A call blocks when the socket does and the flags do not say MSG_DONTWAIT.
inline bool blocking_call(const socket_record* r, int flags) {
  return r->is_blocking != 0 && (flags & MSG_DONTWAIT) == 0;
}

// A send found no room in the card or the peer's window. A blocking call waits its
// turn and tries again (true); otherwise *result is the call's answer: what was sent,
// or EAGAIN (also once SO_SNDTIMEO ran out) with the record marked for the epoll wait,
// EINTR when a signal handler ended the wait, or EBADF when the descriptor was closed
// during it.
inline bool wait_for_room(data_call& c, tx_request& rq, long sent, long* result) {
  if (!blocking_call(c.rec, rq.flags) || rq.until.passed()) {
    store_shared(c.rec->pending, 1);
    *result = sent > 0 ? sent : -EAGAIN;
    return false;
  }
  const int ended = c.wait_turn(rq.until);
  if (ended == 0) return true;
  *result = sent > 0 ? sent : ended;
  return false;
}

// recvmmsg and sendmmsg: one(c, entry, index, context) for each entry in order, its
// result stored in the entry's msg_len, while it succeeds and the descriptor stays
// open. The number of entries done, or the first entry's failure.
using message_call = long (*)(data_call& c, mmsghdr& entry, unsigned index, void* context);
long each_message(data_call& c, mmsghdr* vec, unsigned vlen, message_call one, void* context);

// The TCP byte stream into the caller's buffers (tcp_receive.cpp).
long receive_stream(data_call& c, rx_request& rq);
// The name of the stream receive in its verbose lines.
inline constexpr char tcp_receive_name[] = "_recv_tcp";
// One datagram into the caller's buffers (udp_receive.cpp).
long receive_datagram(data_call& c, rx_request& rq);
// The caller's data into the TCP stream, in pieces of at most the peer's MSS
// (tcp_send.cpp).
long send_stream(data_call& c, tx_request& rq);
// The caller's data as one datagram, or as datagrams of the socket's UDP_SEGMENT size,
// to the request's destination (udp_send.cpp).
long send_datagram(data_call& c, tx_request& rq);

}  // namespace kvel
