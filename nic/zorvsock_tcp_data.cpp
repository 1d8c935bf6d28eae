// The exported TCP data calls: send into the card's TX window, receive in place from
// the receive ring. They do not look at the handle's kind: the engine's state decides,
// so a handle without a connection (fresh, UDP, a listener, a closed connection) gets
// the answers of a closed engine.
#include "tcp/vyx_tcp_data.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

constexpr int EFAULT_ = -14;

}  // namespace

extern "C" int zorvsock_tcp_send(zorvsock_handle* h, const void* data, int len, uint64_t* tx_id) {
  if (!h || (!data && len > 0)) return EFAULT_;
  return vyxtcp::tcp_send(h->tcp, data, len, tx_id);
}

extern "C" int zorvsock_tcp_send_ready(zorvsock_handle* h) {
  return h ? vyxtcp::tcp_send_ready(h->tcp) : 0;
}

extern "C" int zorvsock_tcp_zc_receive(zorvsock_handle* h, const void** data, uint64_t* rx_ts_ns) {
  if (!h || !data) return EFAULT_;
  return vyxtcp::tcp_zc_receive(h->tcp, data, rx_ts_ns, h->rx_adj_ns);
}

// A handle that never had a session (or gave it back after a failed accept) has
// nothing to consume, and no register page for the acknowledgement doorbell.
extern "C" int zorvsock_tcp_zc_receive_done(zorvsock_handle* h) {
  if (!h) return EFAULT_;
  if (!h->tcp_hw.reg_) return 0;
  return vyxtcp::tcp_zc_receive_done(h->tcp);
}
