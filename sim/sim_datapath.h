// Frames between each port's host interface and its wire: what the host kernel sends
// on the port's TAP leaves on the wire; what arrives from the wire goes up the host
// TAP. Runs one polling thread over all ports until the card stops.
#pragma once
#include "sim_card.h"

namespace zsim {

void datapath_run(sim_card& card);

}  // namespace zsim
