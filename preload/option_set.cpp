// setsockopt on a managed socket. The options that matter to the card go into the record
// and its session: the TTLs, the UDP receive ring size, multicast membership and the
// multicast interface, UDP segmentation, the receive time-stamp mode and the blocking
// timeouts. Most others are accepted without effect, as the card's sessions have
// nothing to set. A socket not on the card yet answers as its kernel twin, which takes
// every option, so that it behaves as a kernel socket until the card serves it and a
// later fallback finds the kernel socket as configured; the record keeps what a card
// session will need, and the card's limits wait until there is one.
#include <cerrno>
#include <iterator>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>

#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"
#include "socket_options.h"
#include "socket_setup.h"
#include "trace_log.h"
#include "wait_deadline.h"

namespace kvel {

namespace {

constexpr char name[] = "vyx_setsockopt";
constexpr int rcvbuf_min = min_rx_buffer_units * 2048;
constexpr int rcvbuf_max = max_rx_buffer_units * 2048;
constexpr int udp_segment_option = 103;   // UDP_SEGMENT
constexpr long timeout_forever_s = 1000000000;  // far beyond any wait, and no overflow

// The options that choose the card interface of a socket not on the card yet, and may
// hand it to the kernel: they ask the kernel twin on their own terms.
bool chooses_interface(int level, int option) {
  return level == IPPROTO_IP && (option == IP_ADD_MEMBERSHIP || option == IP_MULTICAST_IF);
}

// An int option as the kernel takes it: at least an int's bytes.
int int_option(const option_call& o, int* v) {
  if (o.len < sizeof(int)) return EINVAL;
  return read_option_int(o, v) ? 0 : EFAULT;
}

// The value of an IP option that the kernel takes as a byte or an int: the int from 4
// bytes on, else the first byte. 0, or the kernel's errno.
int byte_or_int(const option_call& o, int* v) {
  uint8_t byte = 0;
  if (o.len == 0) return EINVAL;
  if (o.len >= sizeof(int)) return read_option_int(o, v) ? 0 : EFAULT;
  if (!read_caller_memory(&byte, o.value, 1)) return EFAULT;
  *v = byte;
  return 0;
}

// IP_TTL and IP_MULTICAST_TTL: a byte or an int, 1..255; the kernel twin first, whose
// refusal stands, then the record for later sessions and the session there is.
int set_ttl(option_call& o) {
  int v = 0;
  if (const int err = byte_or_int(o, &v)) return err;
  if (v < 1 || v > 255) return EINVAL;
  if (const int err = kernel_option(o)) return err;
  const bool unicast = o.name == IP_TTL;
  (unicast ? o.rec->ttl : o.rec->multicast_ttl) = uint16_t(v);
  if (o.rec->handle == nullptr) return 0;
  const uint8_t b = uint8_t(v);
  const int rc = zorvsock_set_opt(o.rec->handle, unicast ? ZORVSOCK_OPT_TTL : ZORVSOCK_OPT_MULTICAST_TTL, &b, 1);
  if (rc < 0) trace_line(name, "Error(ignored) setting TTL: %d\n", rc);
  return 0;
}

int set_ip_option(option_call& o) {
  int v = 0;
  switch (o.name) {
    case IP_TTL:
    case IP_MULTICAST_TTL:
      return set_ttl(o);
    case IP_ADD_MEMBERSHIP:
      return add_membership(o);
    case IP_DROP_MEMBERSHIP:  // the card session keeps the group until the socket ends
      return kernel_option(o);
    case IP_MULTICAST_IF:
      return set_multicast_interface(o);
    case IP_MULTICAST_LOOP:  // the card never loops its own datagrams back
      if (o.rec->type != SOCK_DGRAM) return kernel_option(o);
      if (const int err = byte_or_int(o, &v)) return err;
      return v == 0 ? kernel_option(o) : EOPNOTSUPP;
    default:  // the card has nothing to set: the kernel twin checks it as for itself
      return kernel_option(o);
  }
}

// UDP_SEGMENT: the size the sends cut datagrams to; 0 turns it off, as the kernel's.
int set_udp_option(option_call& o) {
  int v = 0;
  if (o.rec->type != SOCK_DGRAM) return kernel_option(o);  // the kernel's refusal
  if (o.name != udp_segment_option) return ENOPROTOOPT;
  if (const int err = int_option(o, &v)) return err;
  if (v < 0 || v > 65535) {
    trace_line(name, "Invalid UDP segment size %d\n", v);
    return EINVAL;
  }
  o.rec->udp_segment = uint32_t(v);
  kernel_option(o);
  return 0;
}

// The UDP ring of later sessions, in 2 KiB units. On the card a size it cannot take is
// taken to the nearest it allows, as the kernel clamps its buffer sizes (a program that
// sets a small buffer goes on); a socket not on the card yet keeps any size, which its
// session takes to the nearest the card allows (ensure_handle).
int set_receive_buffer(const option_call& o) {
  int v = 0;
  if (const int err = int_option(o, &v)) return err;
  if (o.rec->kind != RECORD_INET && (v < rcvbuf_min || v > rcvbuf_max)) {
    const int card = v < rcvbuf_min ? rcvbuf_min : rcvbuf_max;
    trace_line(name, "SO_RCVBUF %d outside the card's range, using %d\n", v, card);
    v = card;
  }
  if (v % 4096 != 0)
    trace_line(name, "Wrong RX DMA buffer size, not multiple of a 4Kb page: %d", v);
  o.rec->rx_buffer_size = v <= 0 ? 0 : uint32_t((int64_t(v) + 2047) / 2048);
  trace_line(name, "SO_RCVBUF %u\n", o.rec->rx_buffer_size);
  return 0;
}

constexpr const char* stamping_flag_lines[] = {
    "SOF_TIMESTAMPING_TX_HARDWARE not supported", "SOF_TIMESTAMPING_TX_SOFTWARE not supported",
    "SOF_TIMESTAMPING_RX_HARDWARE set",           "SOF_TIMESTAMPING_RX_SOFTWARE not supported",
    "SOF_TIMESTAMPING_SOFTWARE not supported",    "SOF_TIMESTAMPING_SYS_HARDWARE deprecated",
    "SOF_TIMESTAMPING_RAW_HARDWARE set",          "SOF_TIMESTAMPING_OPT_ID not supported",
    "SOF_TIMESTAMPING_TX_SCHED not supported",    "SOF_TIMESTAMPING_TX_ACK not supported",
    "SOF_TIMESTAMPING_OPT_CMSG not supported",    "SOF_TIMESTAMPING_OPT_TSONLY not supported",
    "SOF_TIMESTAMPING_OPT_STATS not supported",   "SOF_TIMESTAMPING_OPT_PKTINFO not supported",
    "SOF_TIMESTAMPING_OPT_TX_SWHW not supported",
};

// SO_TIMESTAMP, SO_TIMESTAMPNS and SO_TIMESTAMPING: one receive time-stamp mode at a
// time, switched off only by the same option with 0.
int set_timestamping(const option_call& o) {
  int v = 0;
  if (const int err = int_option(o, &v)) return err;
  socket_record* r = o.rec;
  if (v == 0) {
    if (r->timestamping == o.name) r->timestamping = 0;
    return 0;
  }
  if (r->timestamping != 0 && r->timestamping != o.name) return EINVAL;
  r->timestamping = uint8_t(o.name);
  if (o.name != SO_TIMESTAMPING) return 0;
  r->timestamping_flags = uint32_t(v);
  for (unsigned bit = 0; bit < std::size(stamping_flag_lines); ++bit)
    if ((uint32_t(v) >> bit) & 1) trace_line(name, "%s\n", stamping_flag_lines[bit]);
  return 0;
}

// SO_RCVTIMEO and SO_SNDTIMEO: the kernel twin checks the value and keeps it for
// getsockopt; the blocking calls of the card wait as long.
int set_timeout(option_call& o) {
  timeval tv{};
  if (o.len < sizeof tv) return EINVAL;
  if (o.value == nullptr || !read_caller_memory(&tv, o.value, sizeof tv)) return EFAULT;
  if (const int err = kernel_option(o)) return err;
  // A negative time is the kernel's "do not wait": the shortest deadline there is; one
  // of centuries is the kernel's "wait without end".
  uint64_t us = tv.tv_sec < 0 ? 1 : uint64_t(tv.tv_sec) * 1000000 + uint64_t(tv.tv_usec);
  if (tv.tv_sec >= timeout_forever_s) us = 0;
  store_timeout(o.name == SO_RCVTIMEO ? o.rec->rcv_timeout_us : o.rec->snd_timeout_us, us);
  return 0;
}

int set_socket_option(option_call& o) {
  int v = 0;
  switch (o.name) {
    case SO_RCVBUF:
      return set_receive_buffer(o);
    case SO_PRIORITY:
      if (const int err = int_option(o, &v)) return err;
      o.rec->priority = uint32_t(v);
      return 0;
    case SO_TIMESTAMP:
    case SO_TIMESTAMPNS:
    case SO_TIMESTAMPING:
      return set_timestamping(o);
    case SO_RCVTIMEO:
    case SO_SNDTIMEO:
      return set_timeout(o);
    // The card has nothing to set: the kernel twin checks the option as for itself and
    // keeps it (SO_LINGER among them, which close reads there).
    default:
      return kernel_option(o);
  }
}

// The card's rules for the option: the record's and the session's share.
int set_card_option(option_call& o) {
  switch (o.level) {
    case SOL_SOCKET:
      return set_socket_option(o);
    case IPPROTO_IP:
      return set_ip_option(o);
    case IPPROTO_UDP:
      return set_udp_option(o);
    default:  // TCP options, which the card's connections take as they are, other levels
      return kernel_option(o);
  }
}

// A socket not on the card yet answers as its kernel twin; what the card could not take
// of an option the kernel accepted is left for the card session to settle.
int set_option(option_call& o) {
  if (!socket_kind(o.rec->kind)) return ENOTSOCK;
  if (o.rec->kind != RECORD_INET || chooses_interface(o.level, o.name))
    return set_card_option(o);
  if (const int err = kernel_option(o)) return err;
  set_card_option(o);
  return 0;
}

}  // namespace

namespace {

// The options a connection takes from its listener and the twin keeps for getsockopt:
// their bits in socket_record::twin_options.
struct twin_option {
  int level, name;
};
constexpr twin_option accepted_options[] = {
    {SOL_SOCKET, SO_REUSEADDR},     {SOL_SOCKET, SO_REUSEPORT},      {SOL_SOCKET, SO_KEEPALIVE},
    {SOL_SOCKET, SO_BROADCAST},     {SOL_SOCKET, SO_LINGER},         {SOL_SOCKET, SO_OOBINLINE},
    {SOL_SOCKET, SO_DONTROUTE},     {SOL_SOCKET, SO_RCVTIMEO},       {SOL_SOCKET, SO_SNDTIMEO},
    {SOL_SOCKET, SO_RCVLOWAT},      {IPPROTO_TCP, TCP_NODELAY},      {IPPROTO_TCP, TCP_KEEPIDLE},
    {IPPROTO_TCP, TCP_KEEPINTVL},   {IPPROTO_TCP, TCP_KEEPCNT},      {IPPROTO_TCP, TCP_USER_TIMEOUT},
    {IPPROTO_IP, IP_TOS},           {IPPROTO_IP, IP_TTL},            {IPPROTO_IP, IP_RECVERR},
    {IPPROTO_IP, IP_FREEBIND},
};
static_assert(std::size(accepted_options) <= 32);

void note_twin_option(socket_record* r, int level, int option) {
  for (size_t i = 0; i < std::size(accepted_options); ++i)
    if (accepted_options[i].level == level && accepted_options[i].name == option)
      r->twin_options |= 1u << i;
}

}  // namespace

bool read_option_int(const option_call& o, int* value) {
  return o.value != nullptr && read_caller_memory(value, o.value, sizeof *value);
}

int kernel_option(option_call& o) {
  if (!o.kernel_asked)
    o.kernel_err = real_setsockopt(o.fd, o.level, o.name, o.value, o.len) == 0 ? 0 : errno;
  o.kernel_asked = true;
  if (o.kernel_err == 0) note_twin_option(o.rec, o.level, o.name);
  return o.kernel_err;
}

void copy_twin_options(int from, const socket_record* listener, int to) {
  for (size_t i = 0; i < std::size(accepted_options); ++i) {
    if ((listener->twin_options & (1u << i)) == 0) continue;
    const twin_option& t = accepted_options[i];
    char value[sizeof(timeval)] = {};
    socklen_t len = sizeof value;
    if (real_getsockopt(from, t.level, t.name, value, &len) == 0)
      real_setsockopt(to, t.level, t.name, value, len);
  }
}

}  // namespace kvel

using namespace kvel;

extern "C" int vyx_setsockopt(int fd, int level, int optname, const void* optval,
                              socklen_t optlen) {
  option_call o{fd, lookup_socket_record(fd), level, optname, optval, optlen, nullptr, false, 0};
  const int err = set_option(o);
  if (o.reason == nullptr) return leave_handler(name, fd, err);
  fall_back(name, fd, o.reason);
  return real_setsockopt(fd, level, optname, optval, optlen);
}
