// The TCP byte stream of a hardware socket, delivered from segments that stay in the
// card's receive ring until their last byte is copied out: the record holds at most one
// segment, read in place, and the caller's buffers are filled straight from the ring.
#include <cerrno>

#include "data_paths.h"
#include "socket_options.h"

namespace kvel {

namespace {

enum class hold { segment, nothing_yet, ended };

// Makes the record hold the next in-order segment when it holds none. Bytes that arrived
// before the connection ended are delivered before its end is: the library answers
// -ENOTCONN only once everything before the peer's FIN has been taken; after our own FIN
// the peer's data still arrives. shutdown(SHUT_RD) ends the stream for this socket.
hold hold_segment(socket_record* r) {
  if (r->rx_segment != nullptr) return hold::segment;
  if (load_shared(r->shut_rd) != 0) return hold::ended;
  const void* data = nullptr;
  const int n = zorvsock_tcp_zc_receive(r->handle, &data, nullptr);
  if (n < 0) return hold::ended;
  if (n == 0) return hold::nothing_yet;
  if (verbose_on()) verbose_line(tcp_receive_name, "zorvsock_tcp_zc_receive = %d\n", n);
  r->rx_segment = const_cast<void*>(data);
  r->rx_segment_left = uint32_t(n);
  return hold::segment;
}

// Copies what fits of the held segment; the segment goes back to the ring once its last
// byte is out. A peek leaves the segment as it was.
size_t deliver(socket_record* r, iov_cursor& to, bool peek) {
  const size_t n = to.left < r->rx_segment_left ? to.left : r->rx_segment_left;
  to.put(r->rx_segment, n);
  if (peek) return n;
  r->rx_segment = static_cast<char*>(r->rx_segment) + n;
  r->rx_segment_left -= uint32_t(n);
  if (r->rx_segment_left == 0) {
    r->rx_segment = nullptr;
    zorvsock_tcp_zc_receive_done(r->handle);
  }
  return n;
}

// The stream has ended for this reader: end of stream (0) once the peer has closed its
// side, or the connection has closed or is closing (TIME_WAIT too: both FINs are
// through), or after shutdown(SHUT_RD); ENOTCONN for one that never was. A closed
// connection's pending error (the peer's reset) comes first, told once to whichever of
// this receive and SO_ERROR asks first: a truncated transfer must not read as a whole.
long end_of_stream(socket_record* r) {
  if (load_shared(r->shut_rd) != 0) return 0;
  switch (zorvsock_tcp_get_status(r->handle)) {
    case ZORVSOCK_TCP_CLOSED:
      return -take_connection_error(r);
    case ZORVSOCK_TCP_CLOSE_WAIT:
    case ZORVSOCK_TCP_LAST_ACK:
    case ZORVSOCK_TCP_CLOSING:
    case ZORVSOCK_TCP_TIME_WAIT:
      return 0;
    default:
      return -ENOTCONN;
  }
}

}  // namespace

// Fills the buffers from as many segments as are already there; waits only while
// nothing has been delivered, or, with MSG_WAITALL, until the buffers are full. What has
// been delivered is returned whatever ends the call later. Buffers of no bytes wait for
// a segment as the kernel's do, and take none of it.
long receive_stream(data_call& c, rx_request& rq) {
  if (rq.srclen != nullptr) *rq.srclen = 0;
  const bool peek = (rq.flags & MSG_PEEK) != 0;
  const bool blocking = blocking_call(c.rec, rq.flags);
  const bool wait_all = blocking && !peek && (rq.flags & MSG_WAITALL) != 0;
  // A segment that an earlier call left part of is delivered first.
  if (verbose_on() && c.rec->rx_segment != nullptr)
    verbose_line(tcp_receive_name, "buf left %d\n", int(c.rec->rx_segment_left));
  long got = 0;
  for (;;) {
    const hold h = hold_segment(c.rec);
    if (h == hold::ended) return got > 0 ? got : end_of_stream(c.rec);
    if (h == hold::nothing_yet) {
      if (got > 0 && !wait_all) break;
      if (!blocking || rq.until.passed()) return got > 0 ? got : -EAGAIN;
      if (const int ended = c.wait_turn(rq.until)) return got > 0 ? got : ended;
      continue;
    }
    if (rq.unusable) return -EFAULT;  // nothing delivered yet: the first copy faults
    got += long(deliver(c.rec, rq.to, peek));
    if (peek || rq.to.left == 0) break;
  }
  return got;
}

}  // namespace kvel
