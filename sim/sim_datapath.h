// Frames between each port's host interface, its sessions and its wire: what the host
// kernel sends on the port's TAP and what the sessions write into their TX windows
// leaves on the wire; what arrives from the wire goes to the sessions whose filters
// take it, the rest up the host TAP. Runs one polling thread over all ports until the
// card stops.
#pragma once
#include <cstddef>

#include "sim_card.h"

namespace zsim {

void datapath_run(sim_card& card);
// Sends a frame on the port's wire; false when it was dropped (counted by reason).
bool wire_send(sim_port& port, const unsigned char* frame, size_t len);

}  // namespace zsim
