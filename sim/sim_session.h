// The one session a descriptor may hold: its kind ('Q' UDP, 'U' TCP, 'S' Ethernet)
// and port. Its regions and datapath state live here as the session kinds arrive.
#pragma once

namespace zsim {

struct sim_session {
  char kind;
  int port;  // port index on the descriptor's device
};

}  // namespace zsim
