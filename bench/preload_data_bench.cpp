// What the interposer adds to a send or receive on a socket that the card serves: send
// and recv of 64 and 1460 bytes on a TCP connection and a connected UDP socket made
// through the preload library's entry points, beside the bare zorvsock calls on a handle
// of the same kind and beside kernel sockets to the same peer, in one run. Needs the card:
// run it through bench/run_preload_bench.sh, which starts the simulator and a peer with
// a TCP sink (9100), a TCP source (9101) and a UDP source (9102); the source answers an
// 8-byte request (u32 count, u32 size, little-endian) with that many messages of that
// size, one segment or datagram each.
//
// The library is opened with dlopen (tracing off), so its entry points are reached
// through dlsym while the plain calls still go to the C library. Time is per call.
// Sends are timed in bursts that fit the card's TX ring after an untimed pause that lets
// the card read the window; a burst that still met a full ring is sent again after
// another pause ("redone"), and only a burst without one counts (but after the last
// attempt). Receives are timed over a burst that has had time to arrive; a call that
// finds nothing yet ends the timed stretch, and the next begins after a pause. Every
// timed call is non-blocking; calls that found no room or no data are counted ("again").
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include "zorvload_lib.h"
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "card_bench.h"
#include "zorvsock.h"

namespace {

using namespace card_bench;

constexpr uint16_t SINK_PORT = 9100;
constexpr uint16_t TCP_SOURCE_PORT = 9101;
constexpr uint16_t UDP_SOURCE_PORT = 9102;
constexpr int RECEIVE_BURST = 64;
constexpr auto SEND_PAUSE = std::chrono::milliseconds(1);
// A burst that met a full ring or window (the simulator had not caught up: a loaded
// machine) is sent again after another pause, up to this many times, so that the figure
// is the calls' own cost rather than the wait for the simulator.
constexpr int BURST_ATTEMPTS = 20;
constexpr auto ARRIVAL_PAUSE = std::chrono::milliseconds(20);

// ---- the three ways of one call --------------------------------------------------------

using socket_fn = int (*)(int, int, int);
using connect_fn = int (*)(int, const sockaddr*, socklen_t);
using send_fn = ssize_t (*)(int, const void*, size_t, int);
using recv_fn = ssize_t (*)(int, void*, size_t, int);
using close_fn = int (*)(int);

struct interposer {
  socket_fn socket_entry = nullptr;
  connect_fn connect_entry = nullptr;
  send_fn send_entry = nullptr;
  recv_fn recv_entry = nullptr;
  close_fn close_entry = nullptr;

  interposer() {
    void* h = card_bench::open_zorvload();
    if (h == nullptr) return;
    socket_entry = reinterpret_cast<socket_fn>(dlsym(h, "socket"));
    connect_entry = reinterpret_cast<connect_fn>(dlsym(h, "connect"));
    send_entry = reinterpret_cast<send_fn>(dlsym(h, "send"));
    recv_entry = reinterpret_cast<recv_fn>(dlsym(h, "recv"));
    close_entry = reinterpret_cast<close_fn>(dlsym(h, "close"));
  }
};

const interposer& library() {
  static interposer lib;
  return lib;
}

sockaddr_in peer(uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(PEER_IP);
  return to;
}

// One open socket of one way: a descriptor (interposed or kernel) or a zorvsock handle,
// with its send and receive of one message.
struct channel {
  int fd = -1;
  zorvsock_handle* h = nullptr;
  int type = SOCK_STREAM;
  send_fn send_call = nullptr;
  recv_fn recv_call = nullptr;
  close_fn close_call = nullptr;

  bool open() const { return fd >= 0 || h != nullptr; }

  // 1 sent, 0 no room for now, -1 failed.
  int send_one(const void* data, int len) const {
    if (h == nullptr) {
      const ssize_t n = send_call(fd, data, size_t(len), MSG_DONTWAIT);
      return n == len ? 1 : (n < 0 && errno == EAGAIN ? 0 : -1);
    }
    const int rc = type == SOCK_STREAM ? zorvsock_tcp_send(h, data, len, nullptr)
                                       : zorvsock_udp_send(h, data, len, nullptr);
    return rc == 0 ? 1 : (rc == -11 ? 0 : -1);
  }

  // The bytes of one message received, 0 none yet, -1 failed. The bare calls copy what
  // fits into buf as the socket calls do.
  int receive_one(void* buf, int len) const {
    if (h == nullptr) {
      const ssize_t n = recv_call(fd, buf, size_t(len), MSG_DONTWAIT);
      return n > 0 ? int(n) : (n < 0 && errno == EAGAIN ? 0 : -1);
    }
    const void* data = nullptr;
    const int n = type == SOCK_STREAM ? zorvsock_tcp_zc_receive(h, &data, nullptr)
                                      : zorvsock_udp_zc_receive(h, &data, nullptr);
    if (n <= 0) return n == 0 || n == -11 ? 0 : -1;
    memcpy(buf, data, size_t(std::min(n, len)));
    if (type == SOCK_STREAM) zorvsock_tcp_zc_receive_done(h);
    else zorvsock_udp_zc_receive_done(h);
    return n;
  }

  void close_all() {
    if (h != nullptr && type == SOCK_STREAM) card_close(h);
    else if (h != nullptr) zorvsock_release_handle(h);
    if (fd >= 0) close_call(fd);
  }
};

enum way { THROUGH_INTERPOSER, BARE_ZORVSOCK, KERNEL };

channel open_channel(way w, int type, uint16_t port) {
  channel c;
  c.type = type;
  if (w == BARE_ZORVSOCK) {
    if (type == SOCK_STREAM) {
      c.h = card_connect(port);
    } else {
      c.h = zorvsock_acquire_handle();
      if (zorvsock_udp_configure(c.h, IFNAME, 0, PEER_IP, port) != 0) {
        zorvsock_release_handle(c.h);
        c.h = nullptr;
      }
    }
    return c;
  }
  const interposer& lib = library();
  const bool through = w == THROUGH_INTERPOSER;
  if (through && lib.socket_entry == nullptr) return c;
  const socket_fn make = through ? lib.socket_entry : ::socket;
  const connect_fn join = through ? lib.connect_entry : ::connect;
  c.send_call = through ? lib.send_entry : ::send;
  c.recv_call = through ? lib.recv_entry : ::recv;
  c.close_call = through ? lib.close_entry : ::close;
  c.fd = make(AF_INET, type, 0);
  const sockaddr_in to = peer(port);
  if (c.fd >= 0 && join(c.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    c.close_call(c.fd);
    c.fd = -1;
  }
  return c;
}

// ---- sends -----------------------------------------------------------------------------

void send_bench(benchmark::State& state, way w, int type) {
  const int len = int(state.range(0));
  // The UDP source drops datagrams that are no request; a port without a listener would
  // answer a connected kernel socket with a refusal.
  channel c = open_channel(w, type, type == SOCK_STREAM ? SINK_PORT : UDP_SOURCE_PORT);
  if (!c.open()) return state.SkipWithError("no socket to the peer (run through run_preload_bench.sh)");
  const int burst = kvel::TX_RING_CREDITS / kvel::tx_send_credits(len);
  std::vector<uint8_t> payload(size_t(len), 0x5A);
  int64_t again = 0;
  int64_t redone = 0;
  const auto send_one = [&] {
    int r;
    while ((r = c.send_one(payload.data(), len)) == 0) ++again;
    return r == 1;
  };
  for (auto _ : state) {
    bool ok = true;
    double per_call = 0;
    for (int attempt = 0; ok && attempt < BURST_ATTEMPTS; ++attempt, ++redone) {
      std::this_thread::sleep_for(SEND_PAUSE);
      const int64_t again_before = again;
      per_call = burst_seconds(burst, send_one, &ok);
      if (again == again_before) break;
    }
    if (!ok) {
      state.SkipWithError("a send failed");
      break;
    }
    state.SetIterationTime(per_call);
  }
  state.counters["burst"] = burst;
  state.counters["again"] = double(again);
  state.counters["redone"] = double(redone);
  c.close_all();
}

// ---- receives --------------------------------------------------------------------------

// Asks the source for RECEIVE_BURST messages of len bytes over the channel itself.
bool request(const channel& c, int len) {
  const uint32_t ask[2] = {RECEIVE_BURST, uint32_t(len)};
  int r;
  const auto deadline = clock_type::now() + CARD_TIMEOUT;
  while ((r = c.send_one(ask, sizeof ask)) == 0 && before(deadline)) {
  }
  return r == 1;
}

void receive_bench(benchmark::State& state, way w, int type) {
  const int len = int(state.range(0));
  channel c = open_channel(w, type, type == SOCK_STREAM ? TCP_SOURCE_PORT : UDP_SOURCE_PORT);
  if (!c.open()) return state.SkipWithError("no socket to the source (run through run_preload_bench.sh)");
  std::vector<uint8_t> buf(static_cast<size_t>(len));
  int64_t again = 0;
  for (auto _ : state) {
    if (!request(c, len)) {
      state.SkipWithError("cannot ask the source");
      break;
    }
    std::this_thread::sleep_for(ARRIVAL_PAUSE);
    const int64_t bytes = int64_t(RECEIVE_BURST) * len;
    const auto deadline = clock_type::now() + CARD_TIMEOUT;
    int calls = 0;
    double timed = 0;
    auto t0 = clock_type::now();
    for (int64_t got = 0; got < bytes && before(deadline);) {
      const int n = c.receive_one(buf.data(), len);
      if (n < 0) break;
      if (n == 0) {  // the rest has not arrived yet: the wait for it is not timed
        ++again;
        timed += seconds_since(t0);
        std::this_thread::sleep_for(SEND_PAUSE);
        t0 = clock_type::now();
        continue;
      }
      ++calls;
      got += n;
      benchmark::DoNotOptimize(buf.data());
    }
    timed += seconds_since(t0);
    state.SetIterationTime(timed / std::max(calls, 1));
  }
  state.counters["again"] = double(again);
  c.close_all();
}

void tcp_send_interposed(benchmark::State& s) { send_bench(s, THROUGH_INTERPOSER, SOCK_STREAM); }
void tcp_send_zorvsock(benchmark::State& s) { send_bench(s, BARE_ZORVSOCK, SOCK_STREAM); }
void tcp_send_kernel(benchmark::State& s) { send_bench(s, KERNEL, SOCK_STREAM); }
void udp_send_interposed(benchmark::State& s) { send_bench(s, THROUGH_INTERPOSER, SOCK_DGRAM); }
void udp_send_zorvsock(benchmark::State& s) { send_bench(s, BARE_ZORVSOCK, SOCK_DGRAM); }
void udp_send_kernel(benchmark::State& s) { send_bench(s, KERNEL, SOCK_DGRAM); }
void tcp_recv_interposed(benchmark::State& s) { receive_bench(s, THROUGH_INTERPOSER, SOCK_STREAM); }
void tcp_recv_zorvsock(benchmark::State& s) { receive_bench(s, BARE_ZORVSOCK, SOCK_STREAM); }
void tcp_recv_kernel(benchmark::State& s) { receive_bench(s, KERNEL, SOCK_STREAM); }
void udp_recv_interposed(benchmark::State& s) { receive_bench(s, THROUGH_INTERPOSER, SOCK_DGRAM); }
void udp_recv_zorvsock(benchmark::State& s) { receive_bench(s, BARE_ZORVSOCK, SOCK_DGRAM); }
void udp_recv_kernel(benchmark::State& s) { receive_bench(s, KERNEL, SOCK_DGRAM); }

#define ZL_SEND_BENCH(fn) BENCHMARK(fn)->Arg(64)->Arg(1460)->UseManualTime()->Iterations(3000)
#define ZL_RECV_BENCH(fn) BENCHMARK(fn)->Arg(64)->Arg(1460)->UseManualTime()->Iterations(150)
ZL_SEND_BENCH(tcp_send_interposed);
ZL_SEND_BENCH(tcp_send_zorvsock);
ZL_SEND_BENCH(tcp_send_kernel);
ZL_SEND_BENCH(udp_send_interposed);
ZL_SEND_BENCH(udp_send_zorvsock);
ZL_SEND_BENCH(udp_send_kernel);
ZL_RECV_BENCH(tcp_recv_interposed);
ZL_RECV_BENCH(tcp_recv_zorvsock);
ZL_RECV_BENCH(tcp_recv_kernel);
ZL_RECV_BENCH(udp_recv_interposed);
ZL_RECV_BENCH(udp_recv_zorvsock);
ZL_RECV_BENCH(udp_recv_kernel);

}  // namespace
