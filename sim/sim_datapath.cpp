#include "sim_datapath.h"

#include <unistd.h>

#include <vector>

#include "sim_backoff.h"

namespace zsim {
namespace {

constexpr int FRAMES_PER_TURN = 32;  // per port and direction, so no port starves the rest
constexpr size_t MAX_FRAME = 65536;

void count(std::atomic<uint64_t>& counter, uint64_t n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}

void write_frame(int fd, const unsigned char* frame, size_t len, std::atomic<uint64_t>& done,
                 port_counters& c) {
  if (write(fd, frame, len) == ssize_t(len))
    count(done);
  else
    count(c.drop_write_error);
}

// The frame came from the host interface.
void frame_from_host(sim_port& port, const unsigned char* frame, size_t len) {
  port_counters& c = port.counters;
  if (port.wire_tap < 0) return count(c.drop_no_wire);
  if (!port.link_up.load(std::memory_order_relaxed)) return count(c.drop_link_down);
  write_frame(port.wire_tap, frame, len, c.to_wire_frames, c);
  count(c.to_wire_bytes, len);
}

// The frame came from the wire.
void frame_from_wire(sim_port& port, const unsigned char* frame, size_t len) {
  port_counters& c = port.counters;
  count(c.from_wire_frames);
  count(c.from_wire_bytes, len);
  if (!port.link_up.load(std::memory_order_relaxed)) return count(c.drop_link_down);
  if (!port.carrier.load(std::memory_order_relaxed)) return count(c.drop_no_carrier);
  write_frame(port.host_tap, frame, len, c.to_host_frames, c);
}

// Forwards what waits on fd; the number of frames taken.
int drain(int fd, sim_port& port, unsigned char* buf,
          void (*handle)(sim_port&, const unsigned char*, size_t)) {
  if (fd < 0) return 0;
  int frames = 0;
  while (frames < FRAMES_PER_TURN) {
    ssize_t n = read(fd, buf, MAX_FRAME);
    if (n <= 0) break;
    handle(port, buf, size_t(n));
    ++frames;
  }
  return frames;
}

std::vector<pollfd> tap_pollfds(const sim_card& card) {
  std::vector<pollfd> fds;
  for (const sim_port* port : card.ports)
    for (int fd : {port->host_tap, port->wire_tap})
      if (fd >= 0) fds.push_back({fd, POLLIN, 0});
  return fds;
}

}  // namespace

void datapath_run(sim_card& card) {
  std::vector<unsigned char> buf(MAX_FRAME);
  std::vector<pollfd> fds = tap_pollfds(card);
  sim_backoff backoff;
  while (!card.stopping.load(std::memory_order_relaxed)) {
    int frames = 0;
    for (sim_port* port : card.ports) {
      frames += drain(port->host_tap, *port, buf.data(), frame_from_host);
      frames += drain(port->wire_tap, *port, buf.data(), frame_from_wire);
    }
    if (frames) {
      backoff.busy();
      continue;
    }
    backoff.idle(fds.data(), fds.size());
    // A TAP whose interface has gone reports an error at every wait: stop waiting on it.
    for (pollfd& p : fds)
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) p.fd = -1;
  }
}

}  // namespace zsim
