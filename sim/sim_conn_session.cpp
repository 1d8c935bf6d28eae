// A descriptor's session: allocation, receive filter, mappings and release, each done
// under the session table's mutex so that the datapath sees a session whole or not at
// all.
#include <algorithm>
#include <cerrno>

#include "sim_conn.h"
#include "sim_session.h"
#include "sim_session_page.h"
#include "sim_udp_path.h"

namespace zsim {

int conn_alloc_udp_session(sim_conn& conn, int port_index) {
  if (conn.session) return EBUSY;
  auto& ports = conn.dev->ports;
  if (port_index < 0 || size_t(port_index) >= ports.size()) return EINVAL;
  sim_port* port = ports[size_t(port_index)].get();
  // As many sessions as the port's fiber page advertises, numbered within the identity.
  int limit =
      int(std::min<uint64_t>(port->fiber.reg(FIBER_UDP_SESSION_NB), IDENTITY_SLOT_MASK + 1));
  sim_session_table& table = conn.card->sessions;
  std::lock_guard<std::mutex> lock(table.mutex);
  int slot = table.free_slot(port, SESSION_UDP, limit);
  if (slot < 0) return ENOSPC;
  std::unique_ptr<sim_session> s = udp_session_make(port, port_index, slot);
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
    conn.card->sessions.remove(conn.session.get());
  }
  conn.session.reset();
}

}  // namespace zsim
