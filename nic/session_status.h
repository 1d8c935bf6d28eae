// The status lines every hardware session's dump shares: its receive ring's card
// registers and its TX window's state. Read without any effort at consistency: the card
// and the session's users change them meanwhile.
#pragma once
#include <cstdint>
#include <string>

#include "tx_pio.h"

namespace kvel {

// "<kind> rx_dma_dropped %u", "... rdptr", "... wrptr", "... size", one line each.
void append_ring_status(std::string& out, const char* kind, const volatile uint64_t* reg);
// The feedback word and write offset (while the feedback page is mapped), then the
// card's TX write and read status registers.
void append_tx_status(std::string& out, const volatile uint64_t* reg, const tx_pio& tx);

}  // namespace kvel
