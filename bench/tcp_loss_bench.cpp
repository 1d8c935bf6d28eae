// A 16 MiB echo through a lossy wire: through the card, and by two Linux kernels with
// SACK and timestamps off (our TCP offers neither) over the same simulated port and
// the same impairment. The echo server is tcp_stream_peer --echo in the peer namespace,
// one per run; the card's client sends in long sends and takes the echo between them
// (tests/support/tcp_echo_client.h), the kernel's sends and receives as poll allows.
// Arguments: the loss in tenths of a percent, and whether the wire loses both ways (1)
// or only the peer's frames (0). Each run is capped at 120 s; one that has not finished
// by then reports finished 0, the bytes echoed and the error of the call that failed. Needs the launcher: run it through
// bench/run_loss_bench.sh, which also switches SACK and timestamps off on both sides.
// Both kernels' ends run the congestion control of the heavy-loss tests (cubic, or
// ZT_LOSS_CC: tests/support/lossy_wire_cc.h).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "card_bench.h"
#include "lossy_wire_cc.h"
#include "tcp_echo_client.h"
#include "tcp_stream.h"
#include "zorvsock.h"

namespace {

using namespace card_bench;

constexpr uint64_t ECHO_BYTES = 16 << 20;
constexpr size_t LONG_SEND = 4 << 20;
constexpr uint64_t SEED = 2;  // the stream the peer expects (its --recv-seed default)
constexpr auto CELL_LIMIT = std::chrono::seconds(120);
// The echo server gives up a little after the cap: its close ends a send through the
// card that would otherwise wait for as long as the connection lives.
constexpr int PEER_LIMIT_S = 130;
uint16_t next_port = 9300;

int shell(const std::string& cmd) { return system(cmd.c_str()); }

// One simulator control command; true when it succeeded.
bool sim_ctl(const std::string& cmd) {
  const char* sim = getenv("ZORV_SIM");
  const char* ctl = getenv("ZORV_SIM_CTL");
  if (!sim || !ctl) return false;
  return shell(std::string(sim) + " ctl --ctl " + ctl + " " + cmd + " >/dev/null") == 0;
}

// The loss of the run's arguments on port 0's wire, lifted at the end of the scope.
struct impairment {
  std::vector<std::string> ways;
  bool ok = true;
  explicit impairment(const benchmark::State& state) {
    ways = state.range(1) ? std::vector<std::string>{"tx", "rx"} : std::vector<std::string>{"rx"};
    const std::string loss = std::to_string(double(state.range(0)) / 10);
    for (const std::string& w : ways) ok = ok && sim_ctl("impair 0 " + w + " loss=" + loss);
  }
  ~impairment() {
    for (const std::string& w : ways) sim_ctl("impair 0 " + w + " off");
  }
};

// tcp_stream_peer --echo listening in the peer namespace until its one connection ends.
struct echo_server {
  uint16_t port = next_port++;
  std::string ready = "/tmp/tcp_loss_bench_ready." + std::to_string(port);
  std::thread thread;

  echo_server() {
    unlink(ready.c_str());
    thread = std::thread([this] {
      shell("zorv_peer " TCP_STREAM_PEER " listen " + std::to_string(port) + " --echo --timeout " +
            std::to_string(PEER_LIMIT_S) + " --cc " + zt::lossy_wire_cc() + " --ready " + ready +
            " >/dev/null");
    });
  }
  bool wait_ready() const {
    const auto deadline = clock_type::now() + OPEN_TIMEOUT;
    while (access(ready.c_str(), F_OK) != 0)
      if (clock_type::now() > deadline) return false;
    return true;
  }
  ~echo_server() {
    thread.join();
    unlink(ready.c_str());
  }
};

// What one run did: its time, and how much came back intact.
void report(benchmark::State& state, const zt::echo_outcome& r) {
  const bool finished = r.complete(ECHO_BYTES) && r.echoed.first_bad() < 0;
  state.SetIterationTime(finished ? r.seconds : double(CELL_LIMIT.count()));
  state.counters["finished"] = finished;
  state.counters["seconds"] = r.seconds;
  state.counters["echoed_MiB"] = double(r.echoed.bytes()) / (1 << 20);
  state.counters["error"] = r.send_rc != 0 ? r.send_rc : r.receive_rc;  // 0: none
}

void card_echo(benchmark::State& state) {
  for (auto _ : state) {
    echo_server server;
    zorvsock_handle* h = server.wait_ready() ? card_connect(server.port) : nullptr;
    if (!h) return state.SkipWithError("no connection to the echo server");
    zt::echo_outcome r(SEED);
    {
      impairment loss(state);
      if (!loss.ok) return state.SkipWithError("the simulator refused the impairment");
      r = zt::card_echo(h, ECHO_BYTES, LONG_SEND, SEED, CELL_LIMIT);
    }
    report(state, r);
    card_close(h);
  }
}

// ---- The same echo by kernel TCP -------------------------------------------------------

// Sends the stream and takes the echo as poll allows, until all of it has come back,
// the connection fails or the cap passes.
zt::echo_outcome kernel_transfer(int fd) {
  zt::echo_outcome r(SEED);
  zt::stream_source src(SEED);
  std::vector<uint8_t> out(LONG_SEND), in(1 << 18);
  size_t head = 0, tail = 0;
  const auto t0 = clock_type::now();
  const auto deadline = t0 + CELL_LIMIT;
  while (!r.complete(ECHO_BYTES)) {
    if (clock_type::now() > deadline) {
      r.timed_out = true;
      break;
    }
    if (head == tail && r.sent < ECHO_BYTES) {
      tail = size_t(std::min<uint64_t>(out.size(), ECHO_BYTES - r.sent));
      src.fill(out.data(), tail);
      head = 0;
    }
    pollfd p{fd, short(POLLIN | (head < tail ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 100) < 0) break;
    const ssize_t s = head < tail ? send(fd, out.data() + head, tail - head, MSG_NOSIGNAL) : 0;
    if (s > 0) {
      head += size_t(s);
      r.sent += uint64_t(s);
    }
    const ssize_t n = recv(fd, in.data(), in.size(), 0);
    if (n > 0) r.echoed.take(in.data(), size_t(n));
    if ((s < 0 && errno != EAGAIN) || n == 0 || (n < 0 && errno != EAGAIN)) break;
  }
  r.seconds = seconds_since(t0);
  return r;
}

void kernel_echo(benchmark::State& state) {
  for (auto _ : state) {
    echo_server server;
    const int fd = server.wait_ready() ? kernel_connect(server.port, false) : -1;
    const std::string cc = zt::lossy_wire_cc();
    if (fd < 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, cc.data(), socklen_t(cc.size())) != 0)
      return state.SkipWithError("no kernel connection to the echo server with its congestion "
                                 "control");
    zt::echo_outcome r(SEED);
    {
      impairment loss(state);
      if (!loss.ok) return state.SkipWithError("the simulator refused the impairment");
      r = kernel_transfer(fd);
    }
    report(state, r);
    close(fd);
  }
}

// Each cell through the card, then by the kernels right after it, so that both meet the
// machine in the same state.
const bool registered = [] {
  for (int64_t loss : {20, 50})
    for (int64_t both : {0, 1})
      for (auto [name, fn] : {std::pair{"card_echo", &card_echo},
                              std::pair{"kernel_echo", &kernel_echo}})
        benchmark::RegisterBenchmark(name, fn)
            ->ArgNames({"loss_permille", "both_ways"})
            ->Args({loss, both})
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kSecond);
  return true;
}();

}  // namespace
