// The card stamps every received frame with its own clock, which follows CLOCK_REALTIME:
// SO_TIMESTAMP and SO_TIMESTAMPNS report that time, SO_TIMESTAMPING reports it in its
// software slot and, raw, in its hardware slot, so that a program reads the arrival
// time the way it reads it from a kernel socket on a card with hardware stamps.
#include "rx_timestamp.h"

#include <cstring>
#include <ctime>
#include <linux/net_tstamp.h>
#include <sys/time.h>

#include "trace_log.h"

namespace kvel {

namespace {

constexpr uint64_t ns_per_s = 1'000'000'000;
// SOF_TIMESTAMPING_OPT_RX_FILTER, newer than some systems' headers.
constexpr uint32_t opt_rx_filter = 1u << 17;

// The caller's control buffer as the kernel fills it: what is left of it.
struct control_out {
  msghdr* msg;
  char* at;
  size_t left;
};

// One SOL_SOCKET message; one that does not fit whole is cut to the room there is.
void put_message(control_out& o, int type, const void* data, size_t len) {
  if (o.at == nullptr || o.left < sizeof(cmsghdr)) {
    o.msg->msg_flags |= MSG_CTRUNC;
    return;
  }
  size_t n = CMSG_LEN(len);
  if (o.left < n) {
    o.msg->msg_flags |= MSG_CTRUNC;
    n = o.left;
  }
  cmsghdr head{};
  head.cmsg_len = n;
  head.cmsg_level = SOL_SOCKET;
  head.cmsg_type = type;
  // An unwritable buffer is the caller's fault, which the kernel does not report here.
  write_caller_memory(o.at, &head, sizeof head);
  write_caller_memory(o.at + sizeof head, data, n - sizeof head);
  const size_t used = CMSG_SPACE(len) < o.left ? CMSG_SPACE(len) : o.left;
  o.at += used;
  o.left -= used;
}

timespec split(uint64_t ns) { return {time_t(ns / ns_per_s), long(ns % ns_per_s)}; }

// The software slot is filled as the kernel fills it for a socket that asks for receive
// stamps; the hardware slot needs both the generation and the raw reporting flags.
void put_timestamping(control_out& o, uint32_t flags, uint64_t rx_ns) {
  timespec ts[3] = {};
  const bool software = (flags & SOF_TIMESTAMPING_SOFTWARE) != 0 &&
                        ((flags & SOF_TIMESTAMPING_RX_SOFTWARE) != 0 ||
                         (flags & opt_rx_filter) == 0);
  const uint32_t raw = SOF_TIMESTAMPING_RX_HARDWARE | SOF_TIMESTAMPING_RAW_HARDWARE;
  const bool hardware = (flags & raw) == raw;
  if (software) ts[0] = split(rx_ns);
  if (hardware) ts[2] = split(rx_ns);
  if (software || hardware) put_message(o, SO_TIMESTAMPING, ts, sizeof ts);
}

}  // namespace

void put_receive_time(const socket_record* r, msghdr* msg, uint64_t rx_ns) {
  control_out o{msg, static_cast<char*>(msg->msg_control), msg->msg_controllen};
  if (rx_ns != 0) {
    const timespec ts = split(rx_ns);
    if (r->timestamping == SO_TIMESTAMP) {
      const timeval tv{ts.tv_sec, ts.tv_nsec / 1000};
      put_message(o, SO_TIMESTAMP, &tv, sizeof tv);
    } else if (r->timestamping == SO_TIMESTAMPNS) {
      put_message(o, SO_TIMESTAMPNS, &ts, sizeof ts);
    } else if (r->timestamping == SO_TIMESTAMPING) {
      put_timestamping(o, r->timestamping_flags, rx_ns);
    }
  }
  msg->msg_controllen = msg->msg_controllen - o.left;
}

}  // namespace kvel
