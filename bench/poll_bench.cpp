// The cost of one sweep of the emulated poll: poll with a zero timeout over 1, 64 and
// (kernel only) 1000 UDP sockets that the card serves, nothing ready and one entry ready (the last
// asks POLLOUT, which an idle session always has), beside the kernel's ppoll over as
// many kernel UDP sockets in the same run. Runs preloaded with libzorvload through
// bench/run_poll_bench.sh, which gives it the card; the kernel's figures come from the
// system call itself, which the interposer does not see.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bound_sockets.h"

namespace {

using namespace readiness_bench;

int kernel_ppoll(pollfd* fds, nfds_t n) {
  timespec zero{};
  return int(syscall(SYS_ppoll, fds, n, &zero, nullptr, 0));
}

void run(benchmark::State& state, uint32_t addr, bool one_ready, int (*wait)(pollfd*, nfds_t)) {
  std::vector<pollfd> fds = bound_sockets(addr, int(state.range(0)), one_ready);
  if (fds.empty()) return state.SkipWithError("no sockets: out of card sessions?");
  const int want = one_ready ? 1 : 0;
  for (auto _ : state) {
    if (wait(fds.data(), fds.size()) != want) state.SkipWithError("unexpected readiness");
  }
  close_all(fds);
}

int emulated(pollfd* fds, nfds_t n) { return poll(fds, n, 0); }

void BM_poll_card_idle(benchmark::State& s) { run(s, card_address, false, emulated); }
void BM_poll_card_one_ready(benchmark::State& s) { run(s, card_address, true, emulated); }
void BM_poll_kernel_idle(benchmark::State& s) { run(s, loopback, false, kernel_ppoll); }
void BM_poll_kernel_one_ready(benchmark::State& s) { run(s, loopback, true, kernel_ppoll); }

// The simulated card runs out of UDP sessions well before 1000 (bind fails with EPERM
// after "Allocating session failed"), so its runs stop at 64.
BENCHMARK(BM_poll_card_idle)->Arg(1)->Arg(64);
BENCHMARK(BM_poll_kernel_idle)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_poll_card_one_ready)->Arg(1)->Arg(64);
BENCHMARK(BM_poll_kernel_one_ready)->Arg(1)->Arg(64)->Arg(1000);

}  // namespace
