// What the readiness benchmarks share: sets of UDP sockets bound to the card's address
// (served by the card when preloaded) or to loopback (the kernel's), as pollfd entries,
// a descriptor limit that holds 2000 of them, and the timed loop of waits.
#pragma once
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace readiness_bench {

constexpr uint32_t card_address = 0xC6120001;  // 198.18.0.1, kvel0's own
constexpr uint32_t loopback = 0x7F000001;

// UDP sockets bound to addr, as pollfd entries asking POLLIN; the last one asks POLLOUT
// (which an idle socket always has) when `one_ready`. Empty when a socket could not be
// made or bound (the simulated card runs out of UDP sessions).
inline std::vector<pollfd> bound_sockets(uint32_t addr, int n, bool one_ready) {
  std::vector<pollfd> fds;
  for (int i = 0; i < n; ++i) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addr);
    if (s >= 0) fds.push_back(pollfd{s, POLLIN, 0});
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      for (const pollfd& p : fds) close(p.fd);
      return {};
    }
  }
  if (one_ready) fds.back().events = POLLOUT;
  return fds;
}

inline void close_all(const std::vector<pollfd>& fds) {
  for (const pollfd& p : fds) close(p.fd);
}

// Times `wait` (one wait with a zero timeout, returning how many members it found
// ready) once it finds `want` ready: a fresh session may need a moment before it reports
// itself writable. A member that the library's monitor holds at that moment counts as
// not ready in that wait (the next one sees it): such waits are counted as "missed",
// not taken for errors.
inline void time_waits(benchmark::State& state, int want, const std::function<int()>& wait) {
  for (int i = 0; i < 1000 && wait() != want; ++i) usleep(1000);
  int64_t missed = 0;
  for (auto _ : state) missed += wait() != want;
  state.counters["missed"] = double(missed);
}

// 2000 sockets at once, beyond the usual 1024.
inline const bool descriptors_raised = [] {
  rlimit lim{8192, 8192};
  return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}();

}  // namespace readiness_bench
