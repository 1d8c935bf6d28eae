#include "zorvsock_handle.h"

#include <new>

#include <unistd.h>
#include "zorvsock.h"

zorvsock_handle::zorvsock_handle() : ttl(kvel::get_default_ttl()) {
  tcp_hw.routes_.refresh(nullptr);
}

extern "C" zorvsock_handle* zorvsock_acquire_handle(void) {
  return new (std::align_val_t(alignof(zorvsock_handle)), std::nothrow) zorvsock_handle();
}

static void close_if_open(int fd) {
  if (fd >= 0) close(fd);
}

// Threads stop before what they read goes away; descriptors close after the mappings
// made through them are gone. Nothing is written to the card: closing a session's
// descriptor gives it back to the driver.
extern "C" void zorvsock_release_handle(zorvsock_handle* h) {
  if (!h) return;
  close_if_open(h->mcast_fd);
  close_if_open(h->reserve_fd);
  h->time.release();
  h->listener.release();
  h->tcp.release();
  h->tcp_hw.release();
  h->udp.release();
  h->~zorvsock_handle();
  ::operator delete(h, std::align_val_t(alignof(zorvsock_handle)));
}

void setup_ts_adjustment(zorvsock_handle* h, int kind) {
  const bool udp = kind == HANDLE_UDP;
  int64_t tx_ps = 0, rx_ps = 0;
  kvel::read_port_delays(udp ? h->udp.fd_ : h->tcp_hw.dev_fd_,
                         udp ? h->udp.port_ : h->tcp_hw.fiber_, &tx_ps, &rx_ps);
  kvel::compute_ts_adjustment(h->ts_cfg, tx_ps, rx_ps, &h->tx_adj_ns, &h->rx_adj_ns);
}
