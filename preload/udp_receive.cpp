// One datagram of a hardware UDP socket per call, read in place from the card's ring:
// what does not fit the caller's buffers is dropped with the datagram (MSG_TRUNC), and
// a peek leaves the datagram for the next call.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>

#include "data_paths.h"

namespace kvel {

namespace {

// The source as the kernel writes it: as much of a sockaddr_in as the caller's room
// takes, and its full length.
void write_source(rx_request& rq, uint32_t ip, uint16_t port) {
  if (rq.srclen == nullptr) return;
  if (rq.src != nullptr) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(port);
    from.sin_addr.s_addr = htonl(ip);
    const size_t room = *rq.srclen < sizeof from ? *rq.srclen : sizeof from;
    memcpy(rq.src, &from, room);
  }
  *rq.srclen = sizeof(sockaddr_in);
}

}  // namespace

// The copied length, or the datagram's whole length when the caller asked MSG_TRUNC.
long receive_datagram(data_call& c, rx_request& rq) {
  const bool blocking = blocking_call(c.rec, rq.flags);
  for (;;) {
    if (load_shared(c.rec->shut_rd) != 0) return 0;
    const void* data = nullptr;
    uint32_t ip = 0;
    uint16_t port = 0;
    const int n = zorvsock_udp_zc_receivefrom(c.rec->handle, &data, &rq.rx_time, &ip, &port);
    if (n >= 0) {
      const size_t copied = rq.to.left < size_t(n) ? rq.to.left : size_t(n);
      rq.to.put(data, copied);
      if ((rq.flags & MSG_PEEK) == 0) zorvsock_udp_zc_receive_done(c.rec->handle);
      write_source(rq, ip, port);
      if (copied < size_t(n)) rq.msg_flags |= MSG_TRUNC;
      return (rq.flags & MSG_TRUNC) != 0 ? n : long(copied);
    }
    if (n != -EAGAIN) return -ENOTCONN;
    if (!blocking || rq.until.passed()) return -EAGAIN;
    if (const int ended = c.wait_turn(rq.until)) return ended;
  }
}

}  // namespace kvel
