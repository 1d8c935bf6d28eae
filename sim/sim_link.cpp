#include "sim_link.h"

#include <chrono>
#include <thread>

#include "sim_tap.h"

namespace zsim {
namespace {

constexpr auto LINK_POLL = std::chrono::milliseconds(5);

bool wire_is_up(const sim_card& card, const sim_port& port) {
  return port.wire_tap >= 0 && iface_is_up(card.wire_query_fd, port.wire_name);
}

}  // namespace

void link_update(const sim_card& card, sim_port& port) {
  std::lock_guard<std::mutex> lock(port.link_mutex);
  int mode = port.link_mode.load();
  bool up = mode == LINK_FORCED_UP || (mode == LINK_AUTO && wire_is_up(card, port));
  port.link_up.store(up);
  port.fiber.set_reg(FIBER_STATUS, up ? FIBER_STATUS_LINK_UP : 0);
}

void link_run(sim_card& card) {
  while (!card.stopping.load(std::memory_order_relaxed)) {
    for (sim_port* port : card.ports) link_update(card, *port);
    std::this_thread::sleep_for(LINK_POLL);
  }
}

}  // namespace zsim
