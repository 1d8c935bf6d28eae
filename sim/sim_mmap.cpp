// Which region an mmap request of a descriptor selects, and the checks on it.
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "kvel_ioctl.h"
#include "sim_capture.h"

namespace zsim {
namespace {

struct selection {
  sim_region* region;
  const side_effect_regs* side;  // null: plain shared memory
  int err;                       // why there is no region
  const sim_region* events = nullptr;  // the queue of its write-event registers
};

// A region of the descriptor's own, made at its first mapping.
selection own_region(std::unique_ptr<sim_region>& slot, const char* name, size_t size) {
  sim_region* region = conn_own_region(slot, name, size);
  return {region, nullptr, region ? 0 : ENOMEM};
}

selection block_region(sim_conn& conn) {
  switch (conn.block) {
    case BLOCK_GLOBAL:
      return {&conn.dev->global, nullptr, 0};
    case BLOCK_TIME:
      return {&conn.dev->time, nullptr, 0};
    case BLOCK_CAPTURE: {
      sim_capture* cap = conn.dev->ports[size_t(conn.capture_port)]->capture.get();
      return {&cap->regs, &cap->side, 0};
    }
    case BLOCK_CONSOLE:
      return {&conn.dev->console.page(), &conn.console_regs, 0};
    case BLOCK_NONE:
      break;
  }
  return {nullptr, nullptr, EINVAL};
}

// The session's regions (registers, TX window, ring, feedback, TX time stamps) exist
// only with a session; without one they fail like unknown selectors. A TCP session's
// register page has the ACK doorbell, whose writes are events.
selection session_region(sim_conn& conn, uint64_t offset, uint64_t len) {
  int err = 0;
  sim_region* region = conn_map_session(conn, offset, len, &err);
  bool doorbell = region && offset == kvel::KVEL_MMAP_REGS && conn.session->kind == SESSION_TCP;
  if (!doorbell) return {region, nullptr, err};
  return {region, &conn.tcp_regs, err, &conn.session->events};
}

selection select_region(sim_conn& conn, uint64_t offset, uint64_t len) {
  switch (offset) {
    case kvel::KVEL_MMAP_FIBER_CONF: {
      sim_port* port = conn_port(conn);
      return {port ? &port->fiber : nullptr, nullptr, ENODEV};
    }
    case kvel::KVEL_MMAP_BLOCK_REGS:
      return block_region(conn);
    case kvel::KVEL_MMAP_LISTEN_STATUS:
      return own_region(conn.listen_status, LISTEN_STATUS_NAME, kvel::KVEL_PAGE_SIZE);
    case kvel::KVEL_MMAP_DUMP_DMA:
      return own_region(conn.dump_dma, "zorvnic-dump-dma", kvel::KVEL_DUMP_DMA_SIZE);
    default:
      return session_region(conn, offset, len);
  }
}

// One token per side-effect page and descriptor, however often it is mapped.
uint64_t token_for(sim_conn& conn, const side_effect_regs* side) {
  for (const auto& [token, regs] : conn.tokens)
    if (regs == side) return token;
  conn.tokens[conn.next_token] = side;
  return conn.next_token++;
}

}  // namespace

void conn_mmap(sim_conn& conn, uint64_t offset, uint64_t len, uint64_t prot, sim_outcome* out) {
  if (prot & ~uint64_t(PROT_READ | PROT_WRITE)) return out->fail(EACCES);
  selection s = select_region(conn, offset, len);
  if (!s.region) return out->fail(s.err);
  if (len == 0 || len > s.region->size()) return out->fail(EINVAL);
  if ((prot & PROT_WRITE) && s.region->client_read_only()) return out->fail(EACCES);
  out->result = 0;
  out->pass_fds[out->pass_count++] = s.region->fd();
  if (s.events) {
    out->pass_fds[out->pass_count++] = s.events->fd();
    out->pass_fds[out->pass_count++] = conn.card->sessions.wake_fd;
  }
  if (!s.side) return;
  out->value = token_for(conn, s.side);
  out->len = uint32_t(s.side->offsets.size() * sizeof(uint32_t));
  memcpy(out->data, s.side->offsets.data(), out->len);
}

}  // namespace zsim
