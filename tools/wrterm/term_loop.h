// The terminal's loop: bytes typed on standard input go to the console's transmitter,
// characters the console received go to standard output, until C-a or the end of
// standard input. Every wait is bounded, so a stuck transmitter or a console that never
// stops sending cannot keep the loop from reading C-a.
#pragma once
#include "console_block.h"

namespace wrterm {

// 0, or 1 when typed bytes could not be sent.
int term_run(console_block* console);

}  // namespace wrterm
