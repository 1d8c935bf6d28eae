// The card clock of every device: keeps register 2 of each time module page at the
// host's CLOCK_REALTIME (seconds << 32 | nanoseconds) until the card stops.
#pragma once
#include <cstdint>

#include "sim_card.h"

namespace zsim {

// Card time as the time module register shows it.
uint64_t card_time_now();
void clock_run(sim_card& card);

}  // namespace zsim
