#include "readiness.h"

#include <poll.h>

#include "emulated_records.h"
#include "handshakes.h"
#include "trace_log.h"
#include "zorvsock.h"

namespace kvel {

namespace {

constexpr short peer_done = POLLIN | POLLRDHUP;
// Both directions are done: reads give end of stream and writes fail at once.
constexpr short both_done = peer_done | POLLHUP | POLLOUT;

bool tcp_bytes_waiting(socket_record* r) {
  if (r->rx_segment != nullptr) return true;
  const void* data = nullptr;
  return zorvsock_tcp_zc_receive(r->handle, &data, nullptr) > 0;
}

// Our side may write: a full segment fits, or our FIN has gone and a write fails at once
// with EPIPE instead of waiting.
short tcp_writable(socket_record* r) {
  return r->shut_wr != 0 || zorvsock_tcp_send_ready(r->handle) > 0 ? POLLOUT : 0;
}

// A connection reaches CLOSED in order only through our own FIN (after the peer's, or
// acknowledged in FIN_WAIT2 and TIME_WAIT), so CLOSED without it means a reset, a
// refused connect or a handshake that timed out: an error. After our FIN a reset from
// the peer is one too. SO_ERROR clears it.
bool ended_in_error(socket_record* r) {
  if (r->error_told != 0) return false;
  return r->shut_wr == 0 || zorvsock_tcp_was_reset(r->handle) > 0;
}

// The connection's state decides what is left besides the bytes waiting.
short tcp_state_events(socket_record* r, int state) {
  switch (state) {
    case ZORVSOCK_TCP_SYN_ST:
    case ZORVSOCK_TCP_SYN_RCV:
      return 0;
    case ZORVSOCK_TCP_ESTABLISHED:
    case ZORVSOCK_TCP_FIN_WAIT1:
    case ZORVSOCK_TCP_FIN_WAIT2:
      return tcp_writable(r);
    case ZORVSOCK_TCP_CLOSE_WAIT:
      return peer_done | tcp_writable(r);
    case ZORVSOCK_TCP_LAST_ACK:
    case ZORVSOCK_TCP_CLOSING:
    case ZORVSOCK_TCP_TIME_WAIT:
      return both_done;
    default:
      return ended_in_error(r) ? both_done | POLLERR : both_done;
  }
}

short tcp_events(socket_record* r) {
  const int state = zorvsock_tcp_get_status(r->handle);
  if (verbose_on()) verbose_line("check_error_us", "TCP stat: %s\n", zorvsock_tcp_state_str(state));
  short events = tcp_state_events(r, state);
  if (r->shut_rd != 0) events |= peer_done;
  if ((events & POLLIN) == 0 && tcp_bytes_waiting(r)) events |= POLLIN;
  return events;
}

short udp_events(socket_record* r) {
  const void* data = nullptr;
  short events = zorvsock_udp_zc_receive(r->handle, &data, nullptr) >= 0 ? POLLIN : 0;
  if (r->shut_rd != 0) events |= POLLIN;
  if (zorvsock_udp_send_ready(r->handle) > 0) events |= POLLOUT;
  return events;
}

}  // namespace

// A forked child's inherited card socket is reported in error: its calls fail at once.
short record_events(socket_record* r) {
  if (r->inherited != 0) return POLLERR;
  switch (r->kind) {
    case RECORD_TCP:
      return tcp_events(r);
    case RECORD_TCP_LISTENER:
      return handshake_done(r) ? POLLIN : 0;
    case RECORD_UDP:
      return udp_events(r);
    default:
      return 0;
  }
}

}  // namespace kvel
