// The exported card-time and TX time-stamp calls.
#include "zorvsock.h"
#include "zorvsock_handle.h"

extern "C" int zorvsock_time_open(zorvsock_handle* h, const char* ifname) {
  if (!h) return -1;
  // A handle holds one time object: opening again replaces the first, never leaks it.
  h->time.release();
  return h->time.init(ifname);
}

extern "C" uint64_t zorvsock_time_get(zorvsock_handle* h) {
  if (!h || !h->time.page_) return 0;
  return kvel::card_time_to_ns(h->time.read_time());
}

extern "C" uint64_t zorvsock_get_tsc_frequency(void) { return kvel::get_tsc_hz(); }

extern "C" int zorvsock_enable_tx_timestamping(zorvsock_handle* h, int entries) {
  if (!h) return -22;
  int64_t n = kvel::tx_timestamp_log_entries(entries);
  if (n < 0) return int(n);
  h->tx_ts_entries = int(n);
  return 0;
}

extern "C" uint64_t zorvsock_get_tx_timestamp(zorvsock_handle* h, uint64_t id) {
  if (!h) return 2;
  if (h->kind == HANDLE_TCP) return kvel::tx_timestamp_lookup(h->tcp.tx_log, id, h->tx_adj_ns);
  if (h->kind == HANDLE_UDP) return kvel::tx_timestamp_lookup(h->udp.ts_log_, id, h->tx_adj_ns);
  return 2;
}
