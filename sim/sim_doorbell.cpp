#include "sim_doorbell.h"

#include <mutex>

#include "kvel_sim_events.h"

#include "sim_session_page.h"
#include "sim_tcp_path.h"

namespace zsim {
namespace {

kvel::sim_event_queue* queue_of(const sim_session& s) {
  return reinterpret_cast<kvel::sim_event_queue*>(s.events.bytes());
}

}  // namespace

bool doorbell_create(sim_session& s) {
  if (!s.events.create("zorvnic-tcp-doorbell", kvel::SIM_EVENT_QUEUE_BYTES, false)) return false;
  queue_of(s)->sleeping.store(1, std::memory_order_relaxed);
  return true;
}

int doorbell_drain(sim_session& s) {
  kvel::sim_event_queue* q = queue_of(s);
  if (q->sleeping.load(std::memory_order_relaxed)) kvel::sim_event_awake(q);
  int taken = 0;
  uint32_t offset;
  uint64_t value;
  while (kvel::sim_event_take(q, &s.events_head, &offset, &value)) {
    if (offset == REG_ACK_DOORBELL) tcp_doorbell(s, value);
    ++taken;
  }
  return taken;
}

bool doorbells_sleep(sim_session_table& table) {
  std::lock_guard<std::mutex> lock(table.mutex);
  bool quiet = true;
  for (sim_session* s : table.sessions)
    if (s->kind == SESSION_TCP) quiet = kvel::sim_event_sleep(queue_of(*s), s->events_head) && quiet;
  if (quiet) return true;
  for (sim_session* s : table.sessions)
    if (s->kind == SESSION_TCP) kvel::sim_event_awake(queue_of(*s));
  return false;
}

}  // namespace zsim
