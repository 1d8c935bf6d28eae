// The exported TCP calls that open, accept, inspect and close hardware TCP connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "devname.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"
#include "plain_output.h"

namespace {

constexpr int EAGAIN_ = -11;
constexpr int EFAULT_ = -14;
constexpr int EINVAL_ = -22;
constexpr int EISCONN_ = -106;
constexpr int ENOTCONN_ = -107;

// A handle whose engine has run once (its worker was started) cannot take another
// connection: a second worker in the same engine would end the process, and a new
// session set up under a running worker would pull its pages away.
bool engine_used(const zorvsock_handle* h) { return h->tcp.worker.joinable(); }

bool known_interface(const char* ifname) {
  if (!ifname) return false;
  const kvel::fiber_device dev = kvel::resolve_interface(kvel::split_vlan_name(ifname).name.c_str());
  return !dev.dev_path.empty() && dev.fiber >= 0;
}

// A port the kernel picks and keeps reserved for the handle until release; 0 when none.
uint16_t reserve_tcp_port(zorvsock_handle* h) {
  if (h->reserve_fd >= 0) close(h->reserve_fd);
  h->reserve_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (h->reserve_fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(h->tcp_hw.local_ip_);
  socklen_t len = sizeof a;
  if (bind(h->reserve_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
  if (getsockname(h->reserve_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

void become_connection(zorvsock_handle* h, const char* ifname) {
  kvel::read_ts_config(h->ts_cfg, ifname);
  setup_ts_adjustment(h, HANDLE_TCP);
  h->kind = HANDLE_TCP;
}

int make_listener(zorvsock_handle* h, const char* ifname, uint16_t port, int kind) {
  if (!known_interface(ifname)) return EINVAL_;
  const int rc = h->listener.init(ifname, port, uint64_t(h->tx_ts_entries > 0 ? h->tx_ts_entries : 0));
  if (rc < 0) return rc;
  h->kind = kind;
  return 0;
}

// A one-connection listener becomes its connection once a queued SYN is taken. A
// listen call does not look at the kind, so the handle may hold a used engine (a
// connection before): that one takes no second connection, the handle stays a listener.
void take_pending_connection(zorvsock_handle* h) {
  if (h->kind != HANDLE_TCP_LISTEN || engine_used(h)) return;
  if (h->listener.accept_syn(h->tcp, h->tcp_hw, h->ttl) != 0) return;
  const std::string ifname = h->listener.ifname_;
  h->listener.release();
  become_connection(h, ifname.c_str());
}

int public_state(zorvsock_handle* h) {
  take_pending_connection(h);
  if (h->kind == HANDLE_TCP_LISTEN) return ZORVSOCK_TCP_LISTEN;
  return vyxtcp::tcp_public_state(h->tcp.state);
}

}  // namespace

extern "C" int zorvsock_tcp_connect(zorvsock_handle* h, const char* ifname, uint16_t local_port,
                                    uint32_t remote_ip, uint16_t remote_port) {
  if (!h) return EFAULT_;
  if (h->kind != HANDLE_NONE || engine_used(h)) return EISCONN_;
  if (!known_interface(ifname)) return EINVAL_;
  if (!h->tcp_hw.if_info_ && h->tcp_hw.init_local_ip(ifname) != 0) return EINVAL_;
  if (local_port == 0) local_port = reserve_tcp_port(h);
  const int rc = h->tcp_hw.init(ifname, remote_ip, remote_port, local_port, 0, h->ttl);
  if (rc != 0) {
    fputs("\33[31mkvel:\33[0m TCP Session allocation/connect failed\n" "\n", kvel::plain_output());
    return rc;
  }
  vyxtcp::fill_ctrl_desc(h->tcp, h->tcp_hw);
  if (h->tx_ts_entries > 0)
    kvel::create_tx_timestamp_log(h->tcp.tx_log, h->tcp_hw.dev_fd_, h->tx_ts_entries);
  const int syn = h->tcp.send_syn();
  vyxtcp::start_worker(h->tcp);
  if (syn < 0) return syn;
  become_connection(h, ifname);
  return 0;
}

// Whatever the handle was, it becomes a one-connection listener.
extern "C" int zorvsock_tcp_listen(zorvsock_handle* h, const char* ifname, uint16_t port) {
  if (!h) return EFAULT_;
  return make_listener(h, ifname, port, HANDLE_TCP_LISTEN);
}

extern "C" int zorvsock_tcp_create_listener(zorvsock_handle* h, const char* ifname, uint16_t port) {
  if (!h || h->kind != HANDLE_NONE) return EFAULT_;
  return make_listener(h, ifname, port, HANDLE_TCP_LISTENER);
}

extern "C" int zorvsock_tcp_accept_ready(zorvsock_handle* h) {
  if (!h) return EFAULT_;
  if (h->kind != HANDLE_TCP_LISTENER) return EINVAL_;
  if (!h->listener.status_) return 1;
  const int waiting = h->listener.status_[0];
  return waiting > 0 ? 1 : waiting;
}

namespace {

// What both accept calls ask of their handles: 0 or the error to return.
int accept_refusal(const zorvsock_handle* l, const zorvsock_handle* f) {
  if (!l || !f) return EFAULT_;
  if (l->kind != HANDLE_TCP_LISTENER) return EINVAL_;
  if (f->kind != HANDLE_NONE || engine_used(f)) return EFAULT_;
  return 0;
}

}  // namespace

extern "C" int zorvsock_tcp_accept(zorvsock_handle* l, zorvsock_handle* f) {
  if (const int refusal = accept_refusal(l, f)) return refusal;
  if (l->listener.accept_syn(f->tcp, f->tcp_hw, l->ttl) != 0) return EAGAIN_;
  become_connection(f, l->listener.ifname_.c_str());
  return 0;
}

extern "C" int zorvsock_tcp_accept_start(zorvsock_handle* l, zorvsock_handle* f) {
  if (const int refusal = accept_refusal(l, f)) return refusal;
  if (l->listener.answer_syn(f->tcp, f->tcp_hw, l->ttl) != 0) return EAGAIN_;
  become_connection(f, l->listener.ifname_.c_str());
  return 0;
}

extern "C" int zorvsock_tcp_disconnect(zorvsock_handle* h) {
  if (!h) return EFAULT_;
  h->tcp.disconnect();
  return 0;
}

extern "C" void zorvsock_tcp_disable(zorvsock_handle* h) {
  if (h) h->tcp.disconnect();
}

extern "C" int zorvsock_tcp_get_status(zorvsock_handle* h) {
  if (!h) return EFAULT_;
  return public_state(h);
}

extern "C" int zorvsock_tcp_was_reset(zorvsock_handle* h) {
  if (!h) return EFAULT_;
  return h->tcp.peer_reset.load();
}

extern "C" int zorvsock_tcp_get_peer(zorvsock_handle* h, uint32_t* ip, uint16_t* port) {
  if (!h || !ip || !port) return EFAULT_;
  if (public_state(h) < ZORVSOCK_TCP_SYN_RCV || h->kind == HANDLE_TCP_LISTEN) return ENOTCONN_;
  *ip = h->tcp_hw.remote_ip_;
  *port = h->tcp_hw.remote_port_;
  return 0;
}

extern "C" const char* zorvsock_tcp_state_str(int state) {
  static const char* const names[] = {
      "TCP_IDLE",        "TCP_CLOSED",     "TCP_LISTEN",    "TCP_SYN_RCV",
      "TCP_SYN_ST",      "TCP_ESTABLISHED", "TCP_CLOSE_WAIT", "TCP_LAST_ACK",
      "TCP_FIN_WAIT1",   "TCP_FIN_WAIT2",  "TCP_CLOSING",   "TCP_TIME_WAIT"};
  constexpr int count = int(sizeof names / sizeof names[0]);
  return state >= 0 && state < count ? names[state] : "TCP_UNKNOWN";
}
