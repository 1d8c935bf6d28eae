// TCP through the card against Linux kernel TCP in the peer namespace: the cost on the
// application's thread of a zorvsock_tcp_send of 64 and 1460 bytes (beside the kernel's
// send of the same bytes on a connection to the same peer), of one
// zorvsock_tcp_zc_receive with its zorvsock_tcp_zc_receive_done per segment, of a ring
// of the ACK doorbell (beside a plain register store, what a ring costs on a card), and bulk
// throughput both ways beside the kernel's TCP between the same two namespaces (the
// kernel's connections go through the simulator's host interface and wire as well).
// Needs the card: run it through bench/run_tcp_bench.sh, which starts the simulator and
// a peer with a sink (port 9100, reads and drops) and a source (port 9101, answers an
// 8-byte little-endian count with that many bytes).
//
// Sends are timed per call in bursts that fit the card's TX ring, each started once the
// card has read the window and the peer's window has room for the whole burst (neither
// wait is timed), so that a send does not meet -11 in steady state; a -11 that comes all
// the same is retried inside the timed burst and counted ("eagain"). Receives are timed
// over a burst that has fully arrived in the ring. Bulk runs time everything, from the
// first send (or the request) to the peer's acknowledgement of the last byte (or its
// arrival).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "card_bench.h"
#include "kvel_mmio_registry.h"
#include "tcp/vyx_tcp_data.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

using namespace card_bench;

constexpr uint16_t SINK_PORT = 9100;
constexpr uint16_t SOURCE_PORT = 9101;
constexpr uint64_t RECEIVE_BURST_BYTES = 512 << 10;
constexpr uint64_t BULK_BYTES = 64 << 20;
constexpr int BULK_CHUNK = 64 << 10;
constexpr auto BULK_TIMEOUT = std::chrono::seconds(120);

// The peer's window takes `bytes` more beyond what we have sent, and the card has read
// the TX window: a burst of that size meets no -11.
bool room_for(zorvsock_handle* h, int bytes) {
  auto& t = h->tcp;
  const auto deadline = clock_type::now() + CARD_TIMEOUT;
  do vyxtcp::tcp_refresh_quota(t);
  while (t.tx_available_quota < bytes && before(deadline));
  return t.tx_available_quota >= bytes && window_drained(t.hw->tx_pio_);
}

void zorvsock_send(benchmark::State& state) {
  const int len = int(state.range(0));
  zorvsock_handle* h = card_connect(SINK_PORT);
  if (!h) return state.SkipWithError("no connection to the sink (run through run_tcp_bench.sh)");
  const int burst = kvel::TX_RING_CREDITS / kvel::tx_send_credits(len);
  std::vector<uint8_t> payload(size_t(len), 0x5A);
  int64_t eagain = 0;
  for (auto _ : state) {
    if (!room_for(h, burst * len)) {
      state.SkipWithError("the card or the peer does not take the data");
      break;
    }
    const auto send_one = [&] {
      int rc;
      while ((rc = zorvsock_tcp_send(h, payload.data(), len, nullptr)) == -11) ++eagain;
      return rc == 0;
    };
    if (!timed_burst(state, burst, send_one)) {
      state.SkipWithError("a send failed");
      break;
    }
  }
  state.counters["burst"] = burst;
  state.counters["eagain"] = double(eagain);
  card_close(h);
}

// The peer has acknowledged everything sent on the kernel connection (false when it has
// not by the deadline).
bool kernel_acked(int fd, clock_type::time_point deadline) {
  int queued = 1;  // sent but not yet acknowledged
  while (ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0)
    if (!before(deadline)) return false;
  return queued == 0;
}

// Each burst starts on an empty send queue, as the card's bursts start on a drained
// window: a send never waits for room.
void kernel_send(benchmark::State& state) {
  const int len = int(state.range(0));
  const int fd = kernel_connect(SINK_PORT, true);
  if (fd < 0) return state.SkipWithError("no kernel connection to the sink");
  std::vector<uint8_t> payload(size_t(len), 0x5A);
  for (auto _ : state) {
    if (!kernel_acked(fd, clock_type::now() + CARD_TIMEOUT)) {
      state.SkipWithError("the peer does not acknowledge");
      break;
    }
    if (!timed_burst(state, KERNEL_BURST,
                     [&] { return send(fd, payload.data(), payload.size(), 0) == ssize_t(len); })) {
      state.SkipWithError("send failed");
      break;
    }
  }
  state.counters["burst"] = KERNEL_BURST;
  close(fd);
}

// Asks the source for `bytes` bytes over the card connection.
bool card_request(zorvsock_handle* h, uint64_t bytes) {
  const auto deadline = clock_type::now() + CARD_TIMEOUT;
  int rc;
  do rc = zorvsock_tcp_send(h, &bytes, sizeof bytes, nullptr);
  while (rc == -11 && before(deadline));
  return rc == 0;
}

// The in-order bytes waiting in the ring, read without consuming anything (the receive
// calls would stamp the connection as read).
uint64_t bytes_in_ring(zorvsock_handle* h) {
  auto& t = h->tcp;
  vyxtcp::tcp_seq next = t.rx_seq;
  vyxtcp::tcp_walk_ring(t, [&](vyxtcp::tcp_ring_slot& rs) {
    if (rs.ok && rs.seg.payload_len > 0 && rs.seg.seq == next) next = next + rs.seg.payload_len;
    return true;
  });
  return next - t.rx_seq;
}

// Until `bytes` bytes wait in the ring; the worker acknowledges them while the
// application does not read, so the peer goes on sending.
bool await_in_ring(zorvsock_handle* h, uint64_t bytes) {
  const auto deadline = clock_type::now() + BULK_TIMEOUT;
  while (bytes_in_ring(h) < bytes)
    if (!before(deadline)) return false;
  return true;
}

void zorvsock_receive(benchmark::State& state) {
  zorvsock_handle* h = card_connect(SOURCE_PORT);
  if (!h) return state.SkipWithError("no connection to the source (run through run_tcp_bench.sh)");
  int64_t segments = 0;
  for (auto _ : state) {
    if (!card_request(h, RECEIVE_BURST_BYTES) || !await_in_ring(h, RECEIVE_BURST_BYTES)) {
      state.SkipWithError("the source's burst did not arrive");
      break;
    }
    const auto t0 = clock_type::now();
    uint64_t got = 0;
    int n = 0;
    const void* data;
    for (int len; got < RECEIVE_BURST_BYTES && (len = zorvsock_tcp_zc_receive(h, &data, nullptr)) > 0;) {
      benchmark::DoNotOptimize(data);
      zorvsock_tcp_zc_receive_done(h);
      got += uint64_t(len);
      ++n;
    }
    const double elapsed = seconds_since(t0);
    if (got != RECEIVE_BURST_BYTES) {
      state.SkipWithError("the ring held less than the burst");
      break;
    }
    state.SetIterationTime(elapsed / n);
    segments += n;
  }
  state.counters["segments"] = double(segments);
  card_close(h);
}

// ---- ACK doorbell --------------------------------------------------------------------

constexpr auto DOORBELL_GAP = std::chrono::milliseconds(2);  // between bursts, untimed

// Bursts of range(0) rings of the ACK doorbell back to back, all for the same
// acknowledgement as the duplicate ACKs for segments beyond a gap are: the cost of one
// ring on the application's thread. Between bursts the card has time to send them all.
void zorvsock_doorbell(benchmark::State& state) {
  zorvsock_handle* h = card_connect(SINK_PORT);
  if (!h) return state.SkipWithError("no connection to the sink (run through run_tcp_bench.sh)");
  for (auto _ : state) {
    std::this_thread::sleep_for(DOORBELL_GAP);
    timed_burst(state, int(state.range(0)), [&] {
      vyxtcp::tcp_ring_doorbell(h->tcp, h->tcp.rx_seq);
      return true;
    });
  }
  card_close(h);
}

// A ring that the simulator has taken: its queue's last slot is free again.
bool ring_taken(const kvel::sim_event_queue* q) {
  const uint64_t last = q->tail.load() - 1;
  const uint64_t freed = kvel::sim_event_free_turn(last + kvel::SIM_EVENT_SLOTS);
  const auto deadline = clock_type::now() + CARD_TIMEOUT;
  while (q->slots[last % kvel::SIM_EVENT_SLOTS].turn.load() != freed)
    if (!before(deadline)) return false;
  return true;
}

// One ring while the simulator is awake: an untimed ring after the pause wakes it, and
// the timed one follows once the simulator has taken that one. With the simulator
// standing in, a ring after a pause (zorvsock_doorbell/1) also pays the kernel's
// wake-up of its sleeping datapath, which a card does not have; on a loaded machine the
// simulator may have gone back to sleep before the timed ring (or the thread lose its
// processor during it), so the median is reported beside the mean.
void zorvsock_doorbell_awake(benchmark::State& state) {
  zorvsock_handle* h = card_connect(SINK_PORT);
  if (!h) return state.SkipWithError("no connection to the sink (run through run_tcp_bench.sh)");
  const kvel::side_effect_reg* reg =
      kvel::mmio_side_effect_lookup(h->tcp.hw->reg_ + vyxtcp::TCP_REG_ACK_DOORBELL / 8);
  if (!reg || !reg->queue) {
    card_close(h);
    return state.SkipWithError("the doorbell has no simulator queue");
  }
  auto ring = [&] {
    vyxtcp::tcp_ring_doorbell(h->tcp, h->tcp.rx_seq);
    return true;
  };
  std::vector<double> times;
  for (auto _ : state) {
    std::this_thread::sleep_for(DOORBELL_GAP);
    ring();
    if (!ring_taken(reg->queue)) {
      state.SkipWithError("the simulator took no ring");
      break;
    }
    bool ok;
    times.push_back(burst_seconds(1, ring, &ok));
    state.SetIterationTime(times.back());
  }
  if (!times.empty()) {
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    state.counters["median_ns"] = times[times.size() / 2] * 1e9;
  }
  card_close(h);
}

// Its baseline: the same stores into a page that nothing watches, what a ring costs on
// a card (one posted write), timed the same way.
void register_store(benchmark::State& state) {
  std::vector<uint64_t> page(512);
  volatile uint64_t* reg = &page[vyxtcp::TCP_REG_ACK_DOORBELL / 8];
  uint64_t v = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(DOORBELL_GAP);
    timed_burst(state, int(state.range(0)), [&] {
      *reg = ++v;
      return true;
    });
  }
}

// ---- Connection set-up ---------------------------------------------------------------

// A connection to the sink from the handle's acquisition until it is established, and
// its release (untimed); beside it the kernel's connect.
void zorvsock_connect(benchmark::State& state) {
  for (auto _ : state) {
    const auto t0 = clock_type::now();
    zorvsock_handle* h = card_connect(SINK_PORT);
    state.SetIterationTime(seconds_since(t0));
    if (!h) return state.SkipWithError("no connection to the sink (run through run_tcp_bench.sh)");
    card_close(h);
  }
}

void kernel_tcp_connect(benchmark::State& state) {
  for (auto _ : state) {
    const auto t0 = clock_type::now();
    const int fd = kernel_connect(SINK_PORT, false);
    state.SetIterationTime(seconds_since(t0));
    if (fd < 0) return state.SkipWithError("no kernel connection to the sink");
    close(fd);
  }
}

// ---- Bulk ----------------------------------------------------------------------------

bool card_send_all(zorvsock_handle* h, const std::vector<uint8_t>& chunk) {
  for (uint64_t sent = 0; sent < BULK_BYTES; sent += chunk.size())
    if (zorvsock_tcp_send(h, chunk.data(), int(chunk.size()), nullptr) != 0) return false;
  const volatile vyxtcp::txack* block = h->tcp.hw->txack_;
  const auto deadline = clock_type::now() + BULK_TIMEOUT;
  while (block && vyxtcp::tcp_seq(block->ack) != h->tcp.tx_seq)
    if (!before(deadline)) return false;
  return true;
}

bool kernel_send_all(int fd, const std::vector<uint8_t>& chunk) {
  for (uint64_t sent = 0; sent < BULK_BYTES;) {
    const ssize_t n = send(fd, chunk.data(), chunk.size(), 0);
    if (n <= 0) return false;
    sent += uint64_t(n);
  }
  return kernel_acked(fd, clock_type::now() + BULK_TIMEOUT);
}

bool card_receive_all(zorvsock_handle* h) {
  if (!card_request(h, BULK_BYTES)) return false;
  const auto deadline = clock_type::now() + BULK_TIMEOUT;
  const void* data;
  for (uint64_t got = 0; got < BULK_BYTES;) {
    const int len = zorvsock_tcp_zc_receive(h, &data, nullptr);
    if (len < 0 || !before(deadline)) return false;
    if (len == 0) continue;
    zorvsock_tcp_zc_receive_done(h);
    got += uint64_t(len);
  }
  return true;
}

bool kernel_receive_all(int fd, std::vector<uint8_t>& buf) {
  const uint64_t ask = BULK_BYTES;
  if (send(fd, &ask, sizeof ask, 0) != ssize_t(sizeof ask)) return false;
  for (uint64_t got = 0; got < BULK_BYTES;) {
    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) return false;
    got += uint64_t(n);
  }
  return true;
}

// Runs `move` (64 MiB one way) once per iteration and reports bytes per second.
template <typename Move>
void bulk(benchmark::State& state, Move move) {
  for (auto _ : state)
    if (!move()) {
      state.SkipWithError("the transfer stalled or failed");
      break;
    }
  state.SetBytesProcessed(int64_t(state.iterations() * BULK_BYTES));
}

void zorvsock_bulk_send(benchmark::State& state) {
  zorvsock_handle* h = card_connect(SINK_PORT);
  if (!h) return state.SkipWithError("no connection to the sink");
  const std::vector<uint8_t> chunk(BULK_CHUNK, 0x5A);
  bulk(state, [&] { return card_send_all(h, chunk); });
  card_close(h);
}

void kernel_bulk_send(benchmark::State& state) {
  const int fd = kernel_connect(SINK_PORT, true);
  if (fd < 0) return state.SkipWithError("no kernel connection to the sink");
  const std::vector<uint8_t> chunk(BULK_CHUNK, 0x5A);
  bulk(state, [&] { return kernel_send_all(fd, chunk); });
  close(fd);
}

void zorvsock_bulk_receive(benchmark::State& state) {
  zorvsock_handle* h = card_connect(SOURCE_PORT);
  if (!h) return state.SkipWithError("no connection to the source");
  bulk(state, [&] { return card_receive_all(h); });
  card_close(h);
}

void kernel_bulk_receive(benchmark::State& state) {
  const int fd = kernel_connect(SOURCE_PORT, true);
  if (fd < 0) return state.SkipWithError("no kernel connection to the source");
  std::vector<uint8_t> buf(BULK_CHUNK);
  bulk(state, [&] { return kernel_receive_all(fd, buf); });
  close(fd);
}

BENCHMARK(zorvsock_send)->Arg(64)->Arg(1460)->UseManualTime()->Iterations(10000);
BENCHMARK(kernel_send)->Arg(64)->Arg(1460)->UseManualTime()->Iterations(10000);
BENCHMARK(zorvsock_receive)->UseManualTime()->Iterations(100);
BENCHMARK(zorvsock_doorbell)->Arg(1)->Arg(16)->UseManualTime()->Iterations(500);
BENCHMARK(zorvsock_doorbell_awake)->UseManualTime()->Iterations(500);
BENCHMARK(register_store)->Arg(1)->Arg(16)->UseManualTime()->Iterations(500);
BENCHMARK(zorvsock_connect)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(50);
BENCHMARK(kernel_tcp_connect)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(50);
BENCHMARK(zorvsock_bulk_send)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(kernel_bulk_send)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(zorvsock_bulk_receive)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(kernel_bulk_receive)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
