// Link status of the ports: fiber register 13 follows the wire interface's IFF_UP in
// its namespace, unless the control socket forces it.
#pragma once
#include "sim_card.h"

namespace zsim {

// Evaluates one port's link now and publishes it (register 13, link_up).
void link_update(const sim_card& card, sim_port& port);
// Re-evaluates every port's link every few milliseconds until the card stops.
void link_run(sim_card& card);

}  // namespace zsim
