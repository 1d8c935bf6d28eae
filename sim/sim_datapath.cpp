#include "sim_datapath.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "sim_backoff.h"
#include "sim_capture.h"
#include "sim_doorbell.h"
#include "sim_tcp_path.h"
#include "sim_udp_path.h"

namespace zsim {
namespace {

constexpr int FRAMES_PER_TURN = 32;  // per port and direction, so no port starves the rest
constexpr size_t MAX_FRAME = 65536;
// The longest idle wait while no session's TX window needs watching: the descriptors
// wake the datapath for everything else.
constexpr long NO_WINDOW_WAIT_NS = 50000000;
// The longest idle wait while a reordered frame is held back.
constexpr long HELD_FRAME_WAIT_NS = IMPAIR_HOLD_NS / 4;

void count(std::atomic<uint64_t>& counter, uint64_t n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}

bool write_frame(int fd, const unsigned char* frame, size_t len, port_counters& c) {
  if (write(fd, frame, len) == ssize_t(len)) return true;
  count(c.drop_write_error);
  return false;
}

// A frame that leaves on the wire, recorded as transmitted.
bool write_wire(sim_port& port, const unsigned char* frame, size_t len) {
  if (!write_frame(port.wire_tap, frame, len, port.counters)) return false;
  capture_frame(port, frame, len, 1);
  return true;
}

// A port whose wire can take a frame now; counts why not.
bool wire_is_open(sim_port& port) {
  port_counters& c = port.counters;
  if (port.wire_tap < 0) {
    count(c.drop_no_wire);
    return false;
  }
  if (!port.link_up.load(std::memory_order_relaxed)) {
    count(c.drop_link_down);
    return false;
  }
  return true;
}

// The frame came from the host interface.
void frame_from_host(sim_card& card, sim_port& port, const unsigned char* frame, size_t len) {
  tcp_host_frame(card, port, frame, len);
  if (!wire_send(port, frame, len)) return;
  count(port.counters.to_wire_frames);
  count(port.counters.to_wire_bytes, len);
}

void count_impairment(port_counters& c, const impair_out& out) {
  if (out.dropped) count(c.impair_dropped);
  if (out.duplicated) count(c.impair_duplicated);
  if (out.reordered) count(c.impair_reordered);
}

// The frame has passed the wire's impairment toward the card.
void frame_from_wire(sim_card& card, sim_port& port, const unsigned char* frame, size_t len) {
  port_counters& c = port.counters;
  count(c.from_wire_frames);
  count(c.from_wire_bytes, len);
  capture_frame(port, frame, len, 0);
  if (!port.link_up.load(std::memory_order_relaxed)) return count(c.drop_link_down);
  if (udp_rx_take(card, port, frame, len) || tcp_rx_take(card, port, frame, len)) return;
  if (!port.carrier.load(std::memory_order_relaxed)) return count(c.drop_no_carrier);
  if (write_frame(port.host_tap, frame, len, c)) count(c.to_host_frames);
}

// The frame came from the wire.
void frame_off_wire(sim_card& card, sim_port& port, const unsigned char* frame, size_t len) {
  if (!port.impair_rx.engaged()) return frame_from_wire(card, port, frame, len);
  impair_out out;
  port.impair_rx.apply(frame, len, monotonic_ns(), &out);
  count_impairment(port.counters, out);
  for (int i = 0; i < out.count; ++i) frame_from_wire(card, port, out.frames[i], out.lens[i]);
}

// Held frames whose wait is over go on their way; the number of them.
int release_held(sim_card& card, sim_port& port, int64_t now, std::vector<unsigned char>& held) {
  int frames = 0;
  if (port.impair_tx.release_due(now, &held)) {
    if (wire_is_open(port)) write_wire(port, held.data(), held.size());
    ++frames;
  }
  if (port.impair_rx.release_due(now, &held)) {
    frame_from_wire(card, port, held.data(), held.size());
    ++frames;
  }
  return frames;
}

// While a direction is impaired a frame may be held back: idle waits stay short.
bool impairing(const sim_card& card) {
  for (const sim_port* port : card.ports)
    if (port->impair_tx.engaged() || port->impair_rx.engaged()) return true;
  return false;
}

// Forwards what waits on fd; the number of frames taken.
int drain(int fd, sim_card& card, sim_port& port, unsigned char* buf,
          void (*handle)(sim_card&, sim_port&, const unsigned char*, size_t)) {
  if (fd < 0) return 0;
  int frames = 0;
  while (frames < FRAMES_PER_TURN) {
    ssize_t n = read(fd, buf, MAX_FRAME);
    if (n <= 0) break;
    handle(card, port, buf, size_t(n));
    ++frames;
  }
  return frames;
}

// The TAPs and, last, the session table's wake-up.
std::vector<pollfd> datapath_pollfds(const sim_card& card) {
  std::vector<pollfd> fds;
  for (const sim_port* port : card.ports)
    for (int fd : {port->host_tap, port->wire_tap})
      if (fd >= 0) fds.push_back({fd, POLLIN, 0});
  fds.push_back({card.sessions.wake_fd, POLLIN, 0});
  return fds;
}

}  // namespace

bool wire_send(sim_port& port, const unsigned char* frame, size_t len) {
  if (!wire_is_open(port)) return false;
  port_counters& c = port.counters;
  if (!port.impair_tx.engaged()) return write_wire(port, frame, len);
  impair_out out;
  port.impair_tx.apply(frame, len, monotonic_ns(), &out);
  count_impairment(c, out);
  bool written = true;
  for (int i = 0; i < out.count; ++i)
    written &= write_wire(port, out.frames[i], out.lens[i]);
  return written;  // a frame the wire loses has left the card all the same
}

void datapath_run(sim_card& card) {
  std::vector<unsigned char> buf(MAX_FRAME), held;
  std::vector<pollfd> fds = datapath_pollfds(card);
  sim_backoff backoff;
  while (!card.stopping.load(std::memory_order_relaxed)) {
    int frames = udp_tx_poll(card) + tcp_tx_poll(card);
    int64_t now = monotonic_ns();
    for (sim_port* port : card.ports) {
      frames += drain(port->host_tap, card, *port, buf.data(), frame_from_host);
      frames += drain(port->wire_tap, card, *port, buf.data(), frame_off_wire);
      frames += release_held(card, *port, now, held);
    }
    if (frames) {
      backoff.busy();
      continue;
    }
    // A doorbell written from here on wakes the wait; one written before it is taken.
    if (backoff.will_wait() && !doorbells_sleep(card.sessions)) {
      backoff.busy();
      continue;
    }
    bool windows = card.sessions.count.load(std::memory_order_relaxed) > 0;
    long wait_ns = windows ? sim_backoff::LONGEST_WAIT_NS : NO_WINDOW_WAIT_NS;
    backoff.idle(fds.data(), fds.size(),
                 impairing(card) ? std::min(wait_ns, HELD_FRAME_WAIT_NS) : wait_ns);
    eventfd_t wakes;
    if (fds.back().revents & POLLIN) eventfd_read(card.sessions.wake_fd, &wakes);
    // A TAP whose interface has gone reports an error at every wait: stop waiting on it.
    for (pollfd& p : fds)
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) p.fd = -1;
  }
}

}  // namespace zsim
