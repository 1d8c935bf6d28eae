#include "tcp_listen.h"

#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "devname.h"
#include "diag.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "netinfo.h"
#include "tx_timestamp_log.h"
#include "vyx_tcp.h"
#include "vyx_tcp_syn_frame.h"
#include "vyx_tcp_worker.h"
#include "plain_output.h"

namespace vyxtcp {

namespace {

constexpr size_t SYN_FRAME_BUFFER = 2048;
constexpr int HANDSHAKE_POLLS = 50000;
constexpr auto HANDSHAKE_POLL_STEP = std::chrono::microseconds(100);
// A sleep of 100 us often lasts twice that: the polls end at this time at the latest,
// so that the accept gives up after about 5 s, not after 50000 slow sleeps.
constexpr auto HANDSHAKE_WAIT = HANDSHAKE_POLL_STEP * HANDSHAKE_POLLS;

// The parts of a checked SYN frame the passive open uses.
struct syn_frame {
  uint32_t src_ip;
  uint32_t dst_ip;
  tcp_segment seg;
};

// The IPv4 and TCP parts of a frame that check_syn_frame accepted, after the VLAN tag
// (if any) was matched against the listener's interface. 0 or -1.
int parse_syn(const uint8_t* frame, size_t len, const std::string& ifname, syn_frame* out) {
  if (check_syn_frame(frame, len) != 0) return -1;
  const int vlan = kvel::split_vlan_name(ifname.c_str()).vlan;
  if (tcp_be16(frame + 12) == ETHERTYPE_VLAN && (tcp_be16(frame + 14) & 0x0fff) != vlan) {
    uint16_t tci;
    memcpy(&tci, frame + 14, sizeof tci);
    fprintf(kvel::plain_output(), "%sinternal error, vlan tags don't match %X %X %s\n\n", KVEL_RED, tci, vlan,
           ifname.c_str());
    return -1;
  }
  const uint8_t* ip = frame + syn_frame_ip_offset(frame, len);
  const size_t ihl = size_t(ip[0] & 0x0f) * 4;
  out->src_ip = tcp_be32(ip + 12);
  out->dst_ip = tcp_be32(ip + 16);
  return tcp_parse_segment(ip + ihl, tcp_be16(ip + 2) - ihl, &out->seg) ? 0 : -1;
}

// The handshake is done. A peer that shuts its sending side at once may already have
// moved the connection on to CLOSE_WAIT: that connection is accepted too.
bool wait_established(const sw_tcp<tcp_hw_session>& tcp) {
  const auto deadline = std::chrono::steady_clock::now() + HANDSHAKE_WAIT;
  for (int i = 0; i < HANDSHAKE_POLLS && std::chrono::steady_clock::now() < deadline; ++i) {
    if (tcp_connected(tcp.state)) return true;
    std::this_thread::sleep_for(HANDSHAKE_POLL_STEP);
  }
  return tcp_connected(tcp.state);
}

// Gives back what a passive open that failed half way set up: the worker stops first,
// then the session it read goes, and the engine is closed again.
void undo_passive_open(sw_tcp<tcp_hw_session>& tcp, tcp_hw_session& hw) {
  tcp.release();
  hw.release();
  tcp.state = TCP_CLOSE;
  tcp.peer_reset = 0;
}

}  // namespace

void start_worker(sw_tcp<tcp_hw_session>& tcp) { tcp_worker_start(tcp); }

void fill_ctrl_desc(sw_tcp<tcp_hw_session>& tcp, const tcp_hw_session& hw) {
  tcp_tx_desc& d = tcp.ctrl_desc;
  d = tcp_tx_desc{};
  d.remote_port = hw.remote_port_;
  d.local_port = hw.local_port_;
  d.remote_ip = hw.remote_ip_;
  memcpy(d.next_hop_mac, hw.next_hop_mac_, sizeof d.next_hop_mac);
  d.ttl = hw.ttl_;
  d.slot_hdr = uint8_t(hw.vlan_slot_ * 16 + 5);
  d.flags = uint16_t(kvel::mmio_read64(hw.reg_, 0x28));
}

int tcp_listener::init(const char* ifname, uint16_t port, uint64_t tx_log_size) {
  release();  // a registration that failed before on this handle is not kept twice
  tx_log_size_ = tx_log_size;
  const kvel::vlan_name vn = kvel::split_vlan_name(ifname);
  const kvel::fiber_device dev = kvel::resolve_interface(vn.name.c_str());
  if (dev.dev_path.empty() || dev.fiber < 0) return -1;
  fd_ = kvel::kvel_dev_open(dev.dev_path.c_str(), true);
  if (fd_ < 0) return -1;
  const kvel::if_info* itf = kvel::make_if_info(ifname);
  const int32_t ifindex = itf->ifindex;
  const uint32_t ip = itf->address != 0 && itf->netmask != 0 ? itf->address : 0;
  delete itf;
  if (ifindex < 1) return -1;
  port_ = port;
  const int rc = register_listener(fd_, uint32_t(dev.fiber), port, ip, uint16_t(vn.vlan));
  ifname_ = ifname;
  void* page = kvel::kvel_dev_mmap(fd_, kvel::KVEL_PAGE_SIZE, PROT_READ,
                                   kvel::KVEL_MMAP_LISTEN_STATUS);
  if (page == MAP_FAILED || page == nullptr) {
    KVEL_DIAG("tcp/tcp_listen", "cannot map TCP listener status memory (%s)\n\n", strerror(errno));
  } else {
    status_ = static_cast<const volatile int*>(page);
  }
  return rc;
}

int tcp_listener::accept_syn(sw_tcp<tcp_hw_session>& tcp, tcp_hw_session& hw, uint8_t ttl) {
  const int rc = answer_syn(tcp, hw, ttl);
  if (rc != 0) return rc;
  if (wait_established(tcp)) return 0;
  undo_passive_open(tcp, hw);
  return -107;
}

int tcp_listener::answer_syn(sw_tcp<tcp_hw_session>& tcp, tcp_hw_session& hw, uint8_t ttl) {
  if (fd_ < 0) return -1;
  uint8_t frame[SYN_FRAME_BUFFER];
  const ssize_t n = kvel::kvel_dev_read(fd_, frame, sizeof frame);
  if (n == 0) return -11;
  if (n < 0) return int(n);
  syn_frame syn;
  if (parse_syn(frame, size_t(n), ifname_, &syn) != 0) return -1;
  int rc = hw.init(ifname_.c_str(), syn.src_ip, syn.seg.src_port, syn.seg.dst_port, 0, ttl);
  if (rc != 0) {
    fputs("\33[31mkvel:\33[0m TCP Session allocation/connect failed\n" "\n", kvel::plain_output());
  } else if (syn.dst_ip != hw.local_ip_) {
    rc = -1;
  }
  if (rc != 0) {
    hw.release();
    return rc;
  }
  if (tx_log_size_ > 0) kvel::create_tx_timestamp_log(tcp.tx_log, hw.dev_fd_, int(tx_log_size_));
  fill_ctrl_desc(tcp, hw);
  tcp.set_state(TCP_LISTEN);
  tcp.process_syn_options(syn.seg);
  rc = tcp.send_syn_ack();
  if (rc != 0) {
    undo_passive_open(tcp, hw);
    return rc;
  }
  start_worker(tcp);
  return 0;
}

void tcp_listener::release() {
  kvel::kvel_dev_unmap(status_, kvel::KVEL_PAGE_SIZE);
  status_ = nullptr;
  kvel::kvel_dev_close_if_open(fd_);
  ifname_.clear();
}

}  // namespace vyxtcp
