// Helpers shared by the tests: running commands on the peer side of the card and
// talking to the simulator's control socket.
#pragma once
#include <functional>
#include <string>

namespace zt {

struct cmd_result {
  int status;  // exit status, -1 when the command could not run
  std::string out;  // standard output and standard error
};

// Runs a shell command on this host.
cmd_result run(const std::string& cmd);
// Runs a shell command inside the peer namespace of the test launcher.
cmd_result peer_run(const std::string& cmd);
// One simulator control command ("link 0 down"); returns its output.
cmd_result sim_ctl(const std::string& cmd);
// A counter of the peer's /proc/net/snmp ("Udp", "InCsumErrors"); -1 when absent.
long peer_snmp(const std::string& group, const std::string& field);
// A counter of port 0 in the simulator ("tcp_tx_retransmits", or a session's
// "tcp0.reset_requests"); -1 when the simulator has none of that name.
long sim_counter(const std::string& name);
// True inside the test launcher (ZORV_LAUNCHED=1).
bool launched();
// Polls done until it holds (true) or ms have passed (false).
bool wait_until(const std::function<bool()>& done, int ms = 3000);
// One scenario of a script that runs programs on our side through $RUN and on the peer
// side (card_programs.sh and the like): `RUN=runner bash script scenario port DIR`, with
// DIR a new directory below dir named after the port, cut short after timeout_s; its
// output without the library's routine line.
cmd_result run_scenario(const std::string& script, const std::string& runner,
                        const std::string& scenario, int port, const std::string& dir,
                        int timeout_s);
// A program's output without the library's announcement of its TX routine, which goes
// to standard error and so lands among output captured together with it.
std::string without_routine_line(std::string out);

}  // namespace zt

// A card test run outside the test launcher has no card, no simulator and no peer:
// it fails at once rather than pass unseen.
#define ZT_REQUIRE_LAUNCHED()                                                               \
  do {                                                                                      \
    ASSERT_TRUE(::zt::launched()) << "run card tests through tests/launcher/zorv_launch " \
                                     "(ctest does)";                                        \
  } while (0)
