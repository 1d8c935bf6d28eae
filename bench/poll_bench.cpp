// The cost of one sweep of the emulated poll: poll with a zero timeout over 1, 64 and
// 1000 UDP sockets that the card serves, nothing ready and one entry ready (the last
// asks POLLOUT, which an idle session always has), beside the kernel's ppoll over as
// many kernel UDP sockets in the same run; and over 1, 64 and 1000 emulated eventfds
// beside the kernel's ppoll over their kernel objects. Runs preloaded with libzorvload through
// bench/run_poll_bench.sh, which gives it the card; the kernel's figures come from the
// system call itself, which the interposer does not see.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bound_sockets.h"

namespace {

using namespace readiness_bench;

int kernel_ppoll(pollfd* fds, nfds_t n) {
  timespec zero{};
  return int(syscall(SYS_ppoll, fds, n, &zero, nullptr, 0));
}

std::vector<pollfd> card_sockets(int n, bool one_ready) {
  return bound_sockets(card_address, n, one_ready);
}
std::vector<pollfd> kernel_sockets(int n, bool one_ready) {
  return bound_sockets(loopback, n, one_ready);
}

// Eventfds asking POLLIN, the last one written to when `one_ready`. The interposer
// emulates them: its sweep tests their counters, while the kernel's ppoll (the system
// call, which the interposer does not see) tests their kernel objects.
std::vector<pollfd> eventfds(int n, bool one_ready) {
  std::vector<pollfd> fds;
  for (int i = 0; i < n; ++i) fds.push_back(pollfd{eventfd(0, EFD_NONBLOCK), POLLIN, 0});
  if (one_ready) eventfd_write(fds.back().fd, 1);
  return fds;
}

void run(benchmark::State& state, std::vector<pollfd> (*members)(int, bool), bool one_ready,
         int (*wait)(pollfd*, nfds_t)) {
  std::vector<pollfd> fds = members(int(state.range(0)), one_ready);
  if (fds.empty()) return state.SkipWithError("no sockets: out of card sessions?");
  time_waits(state, one_ready ? 1 : 0, [&] { return wait(fds.data(), fds.size()); });
  close_all(fds);
}

int emulated(pollfd* fds, nfds_t n) { return poll(fds, n, 0); }

void BM_poll_card_idle(benchmark::State& s) { run(s, card_sockets, false, emulated); }
void BM_poll_card_one_ready(benchmark::State& s) { run(s, card_sockets, true, emulated); }
void BM_poll_kernel_idle(benchmark::State& s) { run(s, kernel_sockets, false, kernel_ppoll); }
void BM_poll_kernel_one_ready(benchmark::State& s) { run(s, kernel_sockets, true, kernel_ppoll); }
void BM_poll_eventfd_idle(benchmark::State& s) { run(s, eventfds, false, emulated); }
void BM_poll_eventfd_one_ready(benchmark::State& s) { run(s, eventfds, true, emulated); }
void BM_poll_eventfd_kernel_idle(benchmark::State& s) { run(s, eventfds, false, kernel_ppoll); }
void BM_poll_eventfd_kernel_one_ready(benchmark::State& s) {
  run(s, eventfds, true, kernel_ppoll);
}

BENCHMARK(BM_poll_card_idle)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_poll_kernel_idle)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_poll_card_one_ready)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_poll_kernel_one_ready)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_poll_eventfd_idle)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_poll_eventfd_kernel_idle)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_poll_eventfd_one_ready)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_poll_eventfd_kernel_one_ready)->Arg(1)->Arg(64)->Arg(1000);

}  // namespace
