// The exported TCP data calls: send into the card's TX window, receive in place from
// the receive ring.
#include "tcp/vyx_tcp_data.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

constexpr int EFAULT_ = -14;
constexpr int ENOTCONN_ = -107;

// The engine of a handle that holds a connection, or null (result in *rc).
vyxtcp::sw_tcp<vyxtcp::tcp_hw_session>* connection(zorvsock_handle* h, int* rc) {
  *rc = !h ? EFAULT_ : h->kind != HANDLE_TCP ? ENOTCONN_ : 0;
  return *rc == 0 ? &h->tcp : nullptr;
}

}  // namespace

extern "C" int zorvsock_tcp_send(zorvsock_handle* h, const void* data, int len, uint64_t* tx_id) {
  int rc;
  auto* t = connection(h, &rc);
  if (!t) return rc;
  if (!data && len > 0) return EFAULT_;
  return vyxtcp::tcp_send(*t, data, len, tx_id);
}

extern "C" int zorvsock_tcp_send_ready(zorvsock_handle* h) {
  int rc;
  auto* t = connection(h, &rc);
  return t ? vyxtcp::tcp_send_ready(*t) : 0;
}

extern "C" int zorvsock_tcp_zc_receive(zorvsock_handle* h, const void** data, uint64_t* rx_ts_ns) {
  int rc;
  auto* t = connection(h, &rc);
  if (!t) return rc;
  if (!data) return EFAULT_;
  return vyxtcp::tcp_zc_receive(*t, data, rx_ts_ns, h->rx_adj_ns);
}

extern "C" int zorvsock_tcp_zc_receive_done(zorvsock_handle* h) {
  int rc;
  auto* t = connection(h, &rc);
  return t ? vyxtcp::tcp_zc_receive_done(*t) : rc;
}
