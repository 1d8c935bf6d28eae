// getsockopt on a managed socket: what the card decides (the socket's kind, its
// connection's state, its ring, its time stamps) comes from the record and the card's
// session; every other option from the kernel twin, which every setsockopt reached and
// which holds the value the program set (or the kernel's default); a socket not on the
// card yet answers as its kernel twin altogether.
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"
#include "socket_options.h"
#include "socket_setup.h"
#include "trace_log.h"

namespace kvel {

namespace {

constexpr char name[] = "vyx_getsockopt";
constexpr int napi_id_option = 56;  // SO_INCOMING_NAPI_ID
constexpr socklen_t tcp_info_size = 104;  // the fields up to tcpi_total_retrans
constexpr socklen_t congestion_name_size = 16;

struct query {
  void* value;
  socklen_t* len;
};

// A result of size bytes as the kernel writes it: at most *optlen bytes, *optlen the
// bytes written (none written, none checked).
int put_bytes(const query& q, const void* value, socklen_t size) {
  socklen_t room = 0;
  if (q.len == nullptr || !read_caller_memory(&room, q.len, sizeof room)) return EFAULT;
  if (int(room) < 0) return EINVAL;
  const socklen_t n = room < size ? room : size;
  if (n > 0 && q.value == nullptr) return EFAULT;
  if (n > 0) memcpy(q.value, value, n);
  *q.len = n;
  return 0;
}

int put_int(const query& q, int value) { return put_bytes(q, &value, sizeof value); }

// The caller's room for a structure: its size, or 0 when the pointers are unusable.
socklen_t room_of(const query& q) {
  socklen_t room = 0;
  if (q.value == nullptr || q.len == nullptr || !read_caller_memory(&room, q.len, sizeof room))
    return 0;
  return room;
}

int protocol_of(const socket_record* r) {
  return r->type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
}

int kernel_query(const option_call& o, const query& q) {
  return real_getsockopt(o.fd, o.level, o.name, q.value, q.len) == 0 ? 0 : errno;
}

int get_socket_option(const option_call& o, const query& q) {
  socket_record* r = o.rec;
  trace_line(name, "SOL_SOCKET\n");
  switch (o.name) {
    case SO_ERROR:
      return put_int(q, r->kind == RECORD_TCP ? connection_error(r) : 0);
    case SO_SNDBUF:
      trace_line(name, "SO_SNDBUF %d\n", 16384);
      return put_int(q, 16384);
    case SO_RCVBUF:
      trace_line(name, "SO_RCVBUF %d\n", int(r->rx_buffer_size * 2048));
      return put_int(q, int(r->rx_buffer_size * 2048));
    case SO_PRIORITY:
      return put_int(q, int(r->priority));
    case SO_TIMESTAMP:
    case SO_TIMESTAMPNS:
      return put_int(q, r->timestamping == o.name ? 1 : 0);
    case SO_TIMESTAMPING:
      return put_int(q, r->timestamping == o.name ? int(r->timestamping_flags) : 0);
    // Programs that adopt a descriptor (a socket object made from a number) ask what it
    // is: the record knows, and a refusal would make them fail.
    case SO_TYPE:
      return put_int(q, int(r->type));
    case SO_DOMAIN:
      return put_int(q, AF_INET);
    case SO_PROTOCOL:
      return put_int(q, protocol_of(r));
    case SO_ACCEPTCONN:
      return put_int(q, r->kind == RECORD_TCP_LISTENER ? 1 : 0);
    case napi_id_option:
      return put_int(q, 0);
    default:  // SO_LINGER and the timeouts among them
      return kernel_query(o, q);
  }
}

// The Linux state of tcp_info for each public state of the card's connection.
uint8_t linux_tcp_state(int state) {
  switch (state) {
    case ZORVSOCK_TCP_LISTEN: return 10;
    case ZORVSOCK_TCP_ESTABLISHED: return 1;
    case ZORVSOCK_TCP_SYN_RCV: return 3;
    case ZORVSOCK_TCP_FIN_WAIT2: return 5;
    case ZORVSOCK_TCP_FIN_WAIT1: return 4;
    case ZORVSOCK_TCP_TIME_WAIT: return 6;
    case ZORVSOCK_TCP_CLOSED: return 7;
    case ZORVSOCK_TCP_CLOSING: return 11;
    case ZORVSOCK_TCP_SYN_ST: return 2;
    case ZORVSOCK_TCP_LAST_ACK: return 9;
    case ZORVSOCK_TCP_CLOSE_WAIT: return 8;
    default: return 0;
  }
}

// The peer's MSS of a card connection, 0 when the card has none to tell.
uint32_t card_mss(const socket_record* r) {
  uint16_t mss = 0;
  int len = sizeof mss;
  if (r->kind != RECORD_TCP) return 0;
  if (zorvsock_get_opt(r->handle, ZORVSOCK_OPT_TCP_TX_MSS, &mss, &len) != 0) return 0;
  return mss;
}

// TCP_INFO: the state and the peer's MSS of a card connection or listener; every other
// field 0; as much as the caller has room for, as the kernel's.
int get_tcp_info(const socket_record* r, const query& q) {
  uint8_t info[tcp_info_size] = {};
  info[0] = linux_tcp_state(zorvsock_tcp_get_status(r->handle));
  const uint32_t mss = card_mss(r);
  memcpy(info + offsetof(tcp_info, tcpi_rcv_mss), &mss, sizeof mss);
  return put_bytes(q, info, sizeof info);
}

int get_tcp_option(const option_call& o, const query& q) {
  switch (o.name) {
    case TCP_NODELAY:  // the card sends each piece at once
      return put_int(q, 1);
    case TCP_MAXSEG:  // the connection's, which its twin never made
      return o.rec->kind == RECORD_TCP ? put_int(q, int(card_mss(o.rec))) : kernel_query(o, q);
    case TCP_INFO:
      return get_tcp_info(o.rec, q);
    case TCP_CONGESTION: {
      if (room_of(q) != congestion_name_size) return EINVAL;
      char text[congestion_name_size] = "none";
      memcpy(q.value, text, sizeof text);
      *q.len = 4;
      return 0;
    }
    default:
      return kernel_query(o, q);
  }
}

int get_ip_option(const option_call& o, const query& q) {
  switch (o.name) {
    case IP_TTL:
    case IP_MULTICAST_TTL:
      return kernel_query(o, q);
    case IP_MULTICAST_LOOP:  // the card never loops a datagram back
      return o.rec->type == SOCK_DGRAM ? put_int(q, 0) : kernel_query(o, q);
    default:
      return kernel_query(o, q);
  }
}

int get_option(const option_call& o, const query& q) {
  if (!socket_kind(o.rec->kind)) return ENOTSOCK;
  if (o.rec->kind == RECORD_INET) return kernel_query(o, q);
  switch (o.level) {
    case SOL_SOCKET:
      return get_socket_option(o, q);
    case IPPROTO_TCP:
      return o.rec->type == SOCK_STREAM ? get_tcp_option(o, q) : kernel_query(o, q);
    case IPPROTO_IP:
      return get_ip_option(o, q);
    default:
      return kernel_query(o, q);
  }
}

}  // namespace

}  // namespace kvel

using namespace kvel;

extern "C" int vyx_getsockopt(int fd, int level, int optname, void* optval, socklen_t* optlen) {
  const option_call o{fd, lookup_socket_record(fd), level, optname, nullptr, 0, nullptr, false, 0};
  return leave_handler(name, fd, get_option(o, query{optval, optlen}));
}
