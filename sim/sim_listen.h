// Listeners: a descriptor registered with KVEL_TCP_LISTEN gets the SYNs sent to its
// address and port on its port and VLAN, each a whole Ethernet frame for one read();
// the first int of its status page tells how many wait. A SYN that is already queued
// (the peer's resend) is dropped. The session table's mutex guards the queues.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim_region.h"
#include "sim_tcp.h"

namespace zsim {

struct sim_port;
struct sim_session_table;

struct queued_syn {
  uint32_t src_ip;
  uint16_t src_port;
  uint32_t seq;
  std::vector<unsigned char> frame;
};

struct sim_listener {
  const sim_port* wire = nullptr;
  uint32_t ip = 0;  // 0: any address of the port
  uint16_t tcp_port = 0;
  uint16_t vlan_id = 0;  // 0: untagged
  std::deque<queued_syn> queue;
  sim_region* status = nullptr;
};

constexpr size_t LISTEN_QUEUE_MAX = 256;
constexpr const char* LISTEN_STATUS_NAME = "zorvnic-listen-status";

// {u32 port index, big-endian u32 IPv4, big-endian u16 port, u16 VLAN id}: address,
// port and VLAN of l; the port index is the caller's to check.
void listen_parse(const unsigned char* arg, uint32_t* port_index, sim_listener* l);
// True when the segment is a SYN for one of the port's listeners (queued or dropped).
bool listener_offer(sim_session_table& table, sim_port& port, const tcp_view& v,
                    const unsigned char* frame, size_t len);
// The oldest queued SYN into out (at most cap bytes, the rest cut off): its length, 0
// when none waits.
size_t listener_pop(sim_listener& l, unsigned char* out, size_t cap);

}  // namespace zsim
