// The control socket of the simulator (a Unix stream socket): one command per
// connection, its words separated by spaces; the answer is one status byte ('0'
// success, '1' failure) and the text. "zorvnic_sim ctl" is the client.
#pragma once
#include <string>
#include <vector>

#include "sim_card.h"

namespace zsim {

// $ZORV_SIM_CTL, else /tmp/zorvnic_sim.ctl.
std::string default_ctl_path();

struct ctl_reply {
  bool ok;
  std::string text;
};
ctl_reply ctl_execute(sim_card& card, const std::vector<std::string>& words);

// Serves listen_fd until stop_fd becomes readable.
void ctl_run(sim_card& card, int listen_fd, int stop_fd);
// "zorvnic_sim ctl [--ctl SOCKPATH] COMMAND ARGS...": argv starts after "ctl".
int ctl_client_main(int argc, char** argv);

}  // namespace zsim
