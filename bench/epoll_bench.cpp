// The cost of one epoll_wait with a zero timeout over an emulated set of 1, 64 and 1000
// UDP sockets that the card serves, nothing ready and one member ready (the last asks
// EPOLLOUT, which an idle session always has), beside the kernel's epoll over as many
// kernel UDP sockets in the same run. Runs preloaded with libzorvload through
// bench/run_epoll_bench.sh, which gives it the card; the kernel's set is made, filled
// and waited on by the system calls themselves, which the interposer does not see.
#include <benchmark/benchmark.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bound_sockets.h"

namespace {

using namespace readiness_bench;

struct epoll_calls {
  int (*create)();
  int (*ctl)(int epfd, int op, int fd, epoll_event* ev);
  int (*wait)(int epfd, epoll_event* events, int maxevents);
};

int emulated_create() { return epoll_create1(0); }
int emulated_wait(int epfd, epoll_event* events, int maxevents) {
  return epoll_wait(epfd, events, maxevents, 0);
}
int kernel_create() { return int(syscall(SYS_epoll_create1, 0)); }
int kernel_ctl(int epfd, int op, int fd, epoll_event* ev) {
  return int(syscall(SYS_epoll_ctl, epfd, op, fd, ev));
}
int kernel_wait(int epfd, epoll_event* events, int maxevents) {
  return int(syscall(SYS_epoll_pwait, epfd, events, maxevents, 0, nullptr, 0));
}

constexpr epoll_calls emulated{emulated_create, epoll_ctl, emulated_wait};
constexpr epoll_calls kernel{kernel_create, kernel_ctl, kernel_wait};

void run(benchmark::State& state, uint32_t addr, bool one_ready, const epoll_calls& calls) {
  std::vector<pollfd> fds = bound_sockets(addr, int(state.range(0)), one_ready);
  if (fds.empty()) return state.SkipWithError("no sockets: out of card sessions?");
  const int epfd = calls.create();
  for (const pollfd& p : fds) {
    epoll_event ev{uint32_t(p.events), {}};
    ev.data.fd = p.fd;
    if (calls.ctl(epfd, EPOLL_CTL_ADD, p.fd, &ev) != 0) state.SkipWithError("epoll_ctl failed");
  }
  epoll_event events[64];
  time_waits(state, one_ready ? 1 : 0, [&] { return calls.wait(epfd, events, 64); });
  close(epfd);
  close_all(fds);
}

void BM_epoll_card_idle(benchmark::State& s) { run(s, card_address, false, emulated); }
void BM_epoll_card_one_ready(benchmark::State& s) { run(s, card_address, true, emulated); }
void BM_epoll_kernel_idle(benchmark::State& s) { run(s, loopback, false, kernel); }
void BM_epoll_kernel_one_ready(benchmark::State& s) { run(s, loopback, true, kernel); }

BENCHMARK(BM_epoll_card_idle)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_epoll_kernel_idle)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_epoll_card_one_ready)->Arg(1)->Arg(64)->Arg(1000);
BENCHMARK(BM_epoll_kernel_one_ready)->Arg(1)->Arg(64)->Arg(1000);

}  // namespace
