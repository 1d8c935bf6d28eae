// Signals during a blocking call's wait on the card. The kernel ends a blocked receive
// or send with EINTR once a handler installed without SA_RESTART has run; a wait that
// spins in user space sees no such handler run (sockperf's server, blocked in recvfrom,
// would never see its SIGINT). So from its first pause to its end the wait holds every
// signal back, and between two polls takes the ones pending that the caller's mask
// admits: the handlers run there, and one without SA_RESTART ends the wait.
#pragma once
#include <csignal>

namespace kvel {

struct wait_signals {
  bool holding = false;  // the thread's mask is all signals, `saved` the caller's own
  sigset_t saved;

  ~wait_signals() { end(); }

  // At each pause of a wait: 0 to go on waiting, -EINTR once a handler that asks for
  // it has run. Under SO_RCVTIMEO or SO_SNDTIMEO (`timed`) every handler does, as the
  // kernel never restarts a socket call with a timeout.
  int take(bool timed);
  // At the wait's end (at the latest when the object goes): the caller's mask back; a
  // signal still pending runs now.
  void end();
};

}  // namespace kvel
