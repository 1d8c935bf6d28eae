// A descriptor's listener: registration and release, under the session table's mutex
// so that the datapath sees a listener whole or not at all.
#include <algorithm>
#include <cerrno>

#include "kvel_ioctl.h"
#include "sim_conn.h"

namespace zsim {

int conn_tcp_listen(sim_conn& conn, const unsigned char* arg) {
  if (conn.listener) return EBUSY;
  auto l = std::make_unique<sim_listener>();
  uint32_t port_index;
  listen_parse(arg, &port_index, l.get());
  if (port_index >= conn.dev->ports.size()) return EINVAL;
  l->wire = conn.dev->ports[port_index].get();
  l->status = conn_own_region(conn.listen_status, LISTEN_STATUS_NAME, kvel::KVEL_PAGE_SIZE);
  if (!l->status) return ENOMEM;
  sim_session_table& table = conn.card->sessions;
  std::lock_guard<std::mutex> lock(table.mutex);
  table.listeners.push_back(l.get());
  conn.listener = std::move(l);
  return 0;
}

void conn_release_listener(sim_conn& conn) {
  if (!conn.listener) return;
  {
    std::lock_guard<std::mutex> lock(conn.card->sessions.mutex);
    std::erase(conn.card->sessions.listeners, conn.listener.get());
  }
  conn.listener.reset();
}

}  // namespace zsim
