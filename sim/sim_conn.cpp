#include "sim_conn.h"

#include <algorithm>
#include <cerrno>

namespace zsim {

sim_conn::~sim_conn() {
  conn_release_session(*this);
  conn_release_listener(*this);
  conn_set_block(*this, BLOCK_NONE);
}

void conn_set_block(sim_conn& conn, block_kind kind) {
  sim_card& card = *conn.card;
  if (conn.block == BLOCK_TIME) --card.time_users;
  if (kind == BLOCK_TIME && card.time_users++ == 0) {
    std::lock_guard<std::mutex> lock(card.clock_mutex);
    card.clock_wake.notify_one();
  }
  conn.block = kind;
}

sim_port* conn_port(const sim_conn& conn) {
  int index = conn.session ? conn.session->port : conn.last_fiber >= 0 ? conn.last_fiber : 0;
  if (size_t(index) >= conn.dev->ports.size()) return nullptr;
  return conn.dev->ports[size_t(index)].get();
}

sim_region* conn_own_region(std::unique_ptr<sim_region>& slot, const char* name, size_t size) {
  if (!slot) {
    auto region = std::make_unique<sim_region>();
    if (!region->create(name, size, true)) return nullptr;
    slot = std::move(region);
  }
  return slot.get();
}

// A listener's oldest SYN frame; nothing waits on other descriptors.
void conn_read(sim_conn& conn, uint64_t count, sim_outcome* out) {
  if (count > kvel::SIM_MAX_DATA) return out->fail(EINVAL);
  out->result = 0;
  if (!conn.listener) return;
  std::lock_guard<std::mutex> lock(conn.card->sessions.mutex);
  out->len = uint32_t(listener_pop(*conn.listener, out->data, count));
  out->result = out->len;
}

// The registers of the mapping `token` when they list `listed` as a side-effect register;
// else null.
static const side_effect_regs* listing(const sim_conn& conn, uint64_t token, uint64_t listed) {
  auto it = conn.tokens.find(token);
  if (it == conn.tokens.end()) return nullptr;
  const std::vector<uint32_t>& offsets = it->second->offsets;
  return std::find(offsets.begin(), offsets.end(), listed) != offsets.end() ? it->second : nullptr;
}

void conn_reg_access(sim_conn& conn, uint32_t op, uint64_t token, uint64_t offset, uint64_t value,
                     sim_outcome* out) {
  const side_effect_regs* regs = listing(conn, token, offset);
  if (!regs) return out->fail(EINVAL);
  if (op == kvel::SIM_OP_REG_READ)
    out->value = regs->read(regs->owner, uint32_t(offset));
  else
    regs->write(regs->owner, uint32_t(offset), value);
  out->result = 0;
}

}  // namespace zsim
