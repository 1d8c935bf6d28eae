// A descriptor's session: allocation, receive filter, mappings and release, each done
// under the session table's mutex so that the datapath sees a session whole or not at
// all.
#include <algorithm>
#include <cerrno>
#include <functional>

#include "sim_conn.h"
#include "sim_doorbell.h"
#include "sim_session.h"
#include "sim_session_page.h"
#include "sim_tcp_path.h"
#include "sim_udp_path.h"

namespace zsim {

int conn_alloc_session(sim_conn& conn, char kind, int port_index) {
  if (conn.session) return EBUSY;
  auto& ports = conn.dev->ports;
  if (port_index < 0 || size_t(port_index) >= ports.size()) return EINVAL;
  sim_port* port = ports[size_t(port_index)].get();
  // As many sessions as the port's fiber page advertises, numbered within the identity.
  unsigned advertised = kind == SESSION_UDP   ? FIBER_UDP_SESSION_NB
                        : kind == SESSION_TCP ? FIBER_TCP_SESSION_NB
                                              : FIBER_ETH_SESSION_NB;
  int limit = int(std::min<uint64_t>(port->fiber.reg(advertised), MAX_SESSIONS_PER_KIND));
  sim_session_table& table = conn.card->sessions;
  std::lock_guard<std::mutex> lock(table.mutex);
  int slot = table.free_slot(port, kind, limit);
  if (slot < 0) return ENOSPC;
  std::unique_ptr<sim_session> s = session_make(kind, port, port_index, slot);
  if (!s) return ENOMEM;
  table.add(s.get());
  conn.session = std::move(s);
  return 0;
}

int conn_set_udp_filter(sim_conn& conn, const unsigned char* arg) {
  udp_filter f;
  if (!conn.session || conn.session->kind != SESSION_UDP || !udp_filter_parse(arg, &f))
    return EINVAL;
  std::lock_guard<std::mutex> lock(conn.card->sessions.mutex);
  conn.session->filter = f;
  return 0;
}

// A TCP session of the descriptor, with the table's mutex held: f done on it, or EINVAL.
int with_tcp_session(sim_conn& conn, const std::function<int(tcp_state&)>& f) {
  if (!conn.session || conn.session->kind != SESSION_TCP) return EINVAL;
  std::lock_guard<std::mutex> lock(conn.card->sessions.mutex);
  return f(conn.session->tcp);
}

int conn_tcp_setup(sim_conn& conn, const unsigned char* arg) {
  tcp_binding b;
  if (!tcp_binding_parse(arg, &b)) return EINVAL;
  return with_tcp_session(conn, [&](tcp_state& t) {
    if (t.bind.bound) return EBUSY;
    t.bind = b;
    return 0;
  });
}

int conn_tcp_rst_on_release(sim_conn& conn, bool on) {
  return with_tcp_session(conn, [&](tcp_state& t) {
    t.rst_armed = on;
    return 0;
  });
}

int conn_tcp_rst_ttl(sim_conn& conn, uint8_t ttl) {
  return with_tcp_session(conn, [&](tcp_state& t) {
    t.rst_ttl = ttl;
    return 0;
  });
}

sim_region* conn_map_session(sim_conn& conn, uint64_t offset, uint64_t len, int* err) {
  if (!conn.session) {
    *err = EINVAL;
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(conn.card->sessions.mutex);
  return session_map(*conn.session, offset, len, err);
}

void conn_release_session(sim_conn& conn) {
  if (!conn.session) return;
  {
    std::lock_guard<std::mutex> lock(conn.card->sessions.mutex);
    if (conn.session->kind == SESSION_UDP) udp_tx_flush(*conn.session);
    // Doorbell writes made before the close leave before the release, as on a card.
    if (conn.session->kind == SESSION_TCP) doorbell_drain(*conn.session);
    if (conn.session->kind == SESSION_TCP) tcp_release(*conn.session);
    if (conn.session->kind == SESSION_ETH) eth_session_released(*conn.session);
    conn.card->sessions.remove(conn.session.get());
  }
  conn.session.reset();
}

}  // namespace zsim
