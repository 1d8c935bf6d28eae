// The cost on the application's thread of one UDP datagram through the card: a
// zorvsock_udp_send of 64 and of 1472 bytes beside the kernel's sendto of the same
// datagram to the same peer, and one zorvsock_udp_zc_receive with its
// zorvsock_udp_zc_receive_done. Needs the card: run it through bench/run_udp_bench.sh,
// which starts the simulator (it drains the TX window and fills the receive ring) and a
// peer that answers a request with a burst of datagrams.
//
// Time is per datagram. A card sends at line rate; the simulator is much slower, so the
// sends are timed in bursts that fit the card's TX ring (one feedback read each, as in
// steady state), and the wait for the simulator to catch up between bursts is not timed.
// Receives are timed over a burst that has fully arrived in the ring.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "card_bench.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

using namespace card_bench;

constexpr uint16_t SINK_PORT = 9;      // nothing listens there: the peer drops them
constexpr uint16_t BURST_PORT = 9001;  // bench/run_udp_bench.sh's burst server
constexpr int RECEIVE_BURST = 2048;
constexpr int RECEIVE_SIZE = 64;

zorvsock_handle* udp_flow(uint16_t dst_port) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  if (h && zorvsock_udp_configure(h, IFNAME, 0, PEER_IP, dst_port) == 0) return h;
  zorvsock_release_handle(h);
  return nullptr;
}

void zorvsock_send(benchmark::State& state) {
  const int len = int(state.range(0));
  zorvsock_handle* h = udp_flow(SINK_PORT);
  if (!h) return state.SkipWithError("no UDP session on kvel0 (run through run_udp_bench.sh)");
  const int burst = kvel::TX_RING_CREDITS / kvel::tx_send_credits(len);
  std::vector<uint8_t> payload(size_t(len), 0x5A);
  for (auto _ : state) {
    if (!window_drained(h->udp.tx_pio_)) {
      state.SkipWithError("the card does not drain the TX window");
      break;
    }
    if (!timed_burst(state, burst,
                     [&] { return zorvsock_udp_send(h, payload.data(), len, nullptr) == 0; })) {
      state.SkipWithError("a send found no room in a drained window");
      break;
    }
  }
  state.counters["burst"] = burst;
  zorvsock_release_handle(h);
}

void kernel_sendto(benchmark::State& state) {
  const int len = int(state.range(0));
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(SINK_PORT);
  to.sin_addr.s_addr = htonl(PEER_IP);
  std::vector<uint8_t> payload(size_t(len), 0x5A);
  for (auto _ : state) {
    if (!timed_burst(state, KERNEL_BURST, [&] {
          return sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                        sizeof to) == ssize_t(len);
        })) {
      state.SkipWithError("sendto failed");
      break;
    }
  }
  state.counters["burst"] = KERNEL_BURST;
  close(fd);
}

// Asks the peer for a burst and waits until its last datagram is in the ring (or the
// time is up: datagrams lost on the way only make the burst smaller).
bool request_burst(zorvsock_handle* h) {
  const std::string ask = std::to_string(RECEIVE_BURST);
  int rc;
  do rc = zorvsock_udp_send(h, ask.data(), int(ask.size()), nullptr);
  while (rc == -11);
  if (rc != 0) return false;
  const kvel::rx_dma_ring& rx = h->udp.rx_dma_;
  int last = rx.rdptr_;
  for (int i = 1; i < RECEIVE_BURST; ++i) last = rx.next_slot(last, RECEIVE_SIZE);
  const auto deadline = clock_type::now() + CARD_TIMEOUT;
  while (kvel::rx_dma_ring::slot_length(rx.slot(last)) == 0)
    if (clock_type::now() > deadline) break;
  return true;
}

void zorvsock_receive(benchmark::State& state) {
  zorvsock_handle* h = udp_flow(BURST_PORT);
  if (!h) return state.SkipWithError("no UDP session on kvel0 (run through run_udp_bench.sh)");
  int64_t received = 0;
  for (auto _ : state) {
    if (!request_burst(h)) {
      state.SkipWithError("cannot ask the peer for a burst");
      break;
    }
    const auto t0 = clock_type::now();
    int n = 0;
    const void* data;
    while (zorvsock_udp_zc_receive(h, &data, nullptr) > 0) {
      benchmark::DoNotOptimize(data);
      zorvsock_udp_zc_receive_done(h);
      ++n;
    }
    const double elapsed = seconds_since(t0);
    if (n == 0) {
      state.SkipWithError("no datagram arrived from the peer");
      break;
    }
    state.SetIterationTime(elapsed / n);
    received += n;
  }
  state.counters["datagrams"] = double(received);
  zorvsock_release_handle(h);
}

BENCHMARK(zorvsock_send)->Arg(64)->Arg(1472)->UseManualTime()->Iterations(20000);
BENCHMARK(kernel_sendto)->Arg(64)->Arg(1472)->UseManualTime()->Iterations(20000);
BENCHMARK(zorvsock_receive)->UseManualTime()->Iterations(200);

}  // namespace
