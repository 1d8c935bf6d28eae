#include "sim_listen.h"

#include <algorithm>
#include <cstring>

#include "sim_card.h"
#include "sim_session_table.h"

namespace zsim {
namespace {

void publish_count(const sim_listener& l) {
  __atomic_store_n(reinterpret_cast<uint32_t*>(l.status->bytes()), uint32_t(l.queue.size()),
                   __ATOMIC_RELEASE);
}

bool wants(const sim_listener& l, const sim_port& port, const tcp_view& v) {
  return l.wire == &port && l.tcp_port == v.dst_port && (l.ip == 0 || l.ip == v.ip.dst_ip) &&
         l.vlan_id == v.ip.vlan_id;
}

}  // namespace

void listen_parse(const unsigned char* arg, uint32_t* port_index, sim_listener* l) {
  memcpy(port_index, arg, sizeof *port_index);
  l->ip = load_be32(arg + 4);
  l->tcp_port = load_be16(arg + 8);
  memcpy(&l->vlan_id, arg + 10, sizeof l->vlan_id);
}

bool listener_offer(sim_session_table& table, sim_port& port, const tcp_view& v,
                    const unsigned char* frame, size_t len) {
  if ((v.flags & (TCP_SYN | TCP_ACK | TCP_RST)) != TCP_SYN) return false;
  auto it = std::find_if(table.listeners.begin(), table.listeners.end(),
                         [&](const sim_listener* l) { return wants(*l, port, v); });
  if (it == table.listeners.end()) return false;
  sim_listener& l = **it;
  port_counters& pc = port.counters;
  if (!tcp_checksums_ok(v)) {
    pc.tcp_listen_drop_checksum.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  bool queued = std::any_of(l.queue.begin(), l.queue.end(), [&](const queued_syn& q) {
    return q.src_ip == v.ip.src_ip && q.src_port == v.src_port && q.seq == v.seq;
  });
  if (queued || l.queue.size() >= LISTEN_QUEUE_MAX) {
    (queued ? pc.tcp_listen_duplicates : pc.tcp_listen_drop_full)
        .fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  l.queue.push_back({v.ip.src_ip, v.src_port, v.seq, {frame, frame + len}});
  pc.tcp_listen_queued.fetch_add(1, std::memory_order_relaxed);
  publish_count(l);
  return true;
}

size_t listener_pop(sim_listener& l, unsigned char* out, size_t cap) {
  if (l.queue.empty()) return 0;
  const std::vector<unsigned char>& f = l.queue.front().frame;
  size_t n = std::min(cap, f.size());
  memcpy(out, f.data(), n);
  l.queue.pop_front();
  publish_count(l);
  return n;
}

}  // namespace zsim
