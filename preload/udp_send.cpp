// The caller's data as datagrams of a hardware UDP socket: one datagram, or with
// UDP_SEGMENT set one per segment size, the last shorter, sent in order. Each datagram
// is read in place from the caller's buffer or gathered into one on the stack.
#include <cerrno>

#include "data_paths.h"
#include "real_calls.h"
#include "udp_destination.h"

namespace kvel {

namespace {

constexpr size_t datagram_max = 1472;    // the card's largest UDP payload
constexpr size_t message_max = 65507;    // the largest UDP message, as the kernel's

// A destination that the card does not reach: the kernel twin sends the datagram.
long send_by_kernel(const data_call& c, const tx_request& rq) {
  msghdr m{const_cast<sockaddr*>(rq.dest), rq.destlen, const_cast<iovec*>(rq.from.iov),
           size_t(rq.from.count), nullptr, 0, 0};
  return kernel_result(real_sendmsg(c.fd, &m, rq.flags));
}

}  // namespace

// The bytes of the datagrams sent; a send that stops after some were sent returns them,
// as the kernel's segmented send does.
long send_datagram(data_call& c, tx_request& rq) {
  if (load_shared(c.rec->shut_wr) != 0) return -EPIPE;
  const long aim = aim_datagram(c, rq.dest, rq.destlen);
  if (aim < 0) return aim;
  if (aim == aim_kernel) return send_by_kernel(c, rq);
  const size_t total = rq.from.left;
  const size_t segment = c.rec->udp_segment != 0 ? c.rec->udp_segment : total;
  if (total > message_max || (segment > datagram_max && total > 0)) return -EMSGSIZE;
  char scratch[datagram_max];
  long sent = 0;
  for (;;) {  // a message of 0 bytes is one empty datagram
    size_t len = 0;
    const void* data = rq.from.piece(segment, scratch, &len);
    const int rc = zorvsock_udp_send(c.rec->handle, data, int(len), nullptr);
    if (rc == 0) {
      rq.from.skip(len);
      sent += long(len);
      if (rq.from.left == 0) return sent;
      continue;
    }
    if (rc != -EAGAIN) return sent > 0 ? sent : rc;
    long result = 0;
    if (!wait_for_room(c, rq, sent, &result)) return result;
  }
}

}  // namespace kvel
