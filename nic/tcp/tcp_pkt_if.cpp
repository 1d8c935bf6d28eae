#include "tcp_pkt_if.h"

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "devname.h"
#include "diag.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "session_open.h"
#include "tcp_frame.h"
#include "tcp_pkt_shared.h"
#include "zorvfiber.h"
#include "zorvtime.h"
#include "plain_output.h"

// Every diagnostic of the set-up names the set-up itself, whichever helper runs it.
#define TCP_INIT_DIAG(...) ::kvel::diag_print("tcp/tcp_pkt_if", "init", __LINE__, __VA_ARGS__)

namespace vyxtcp {

tcp_hw_session::tcp_hw_session() {
  tx_pio_.owner_ = {&dev_fd_, &reg_, &control_};
  rx_dma_.owner_ = {&dev_fd_, &reg_, &control_};
}

int tcp_hw_session::init(const char* ifname, uint32_t remote_ip, uint16_t remote_port,
                         uint16_t local_port, uint32_t local_ip, uint8_t ttl) {
  const kvel::vlan_name vn = kvel::split_vlan_name(ifname);
  const kvel::fiber_device dev = kvel::resolve_interface(vn.name.c_str());
  if (dev.dev_path.empty() || dev.fiber < 0) return -1;
  // A set-up that failed on this handle before left its descriptors and pages here:
  // give them back rather than lose them under new ones.
  release_pages();
  fiber_ = dev.fiber;
  ifname_ = ifname;
  vlan_id_ = uint32_t(vn.vlan);
  if (local_ip_ == 0) local_ip_ = local_ip;
  remote_ip_ = remote_ip;
  remote_port_ = remote_port;
  local_port_ = local_port;
  ttl_ = ttl;
  if (!if_info_ && init_local_ip(ifname) != 0) return -1;
  if (open_packet_socket(ifname) != 0) return -1;
  int rc = route_to_peer();
  if (rc == 0) rc = open_session(dev.dev_path.c_str());
  if (rc == 0) rc = find_vlan_slot();
  if (rc == 0) rc = bind_connection();
  if (rc == 0) rc = start_datapath();
  return rc;
}

// A record that cannot serve is not kept: a later set-up builds a new one rather than
// take it for the interface.
int tcp_hw_session::init_local_ip(const char* ifname) {
  delete if_info_;
  if_info_ = kvel::make_if_info(ifname);
  if (if_info_->ifindex < 1) {
    KVEL_DIAG("tcp/tcp_pkt_if", "Cannot use network interface %s\n\n", ifname);
  } else {
    memcpy(src_mac_, if_info_->mac, sizeof src_mac_);
    if (local_ip_ == 0) local_ip_ = if_info_->address;
    if (local_ip_ != 0) return 0;
  }
  delete if_info_;
  if_info_ = nullptr;
  return -1;
}

// The socket only sends, and sends on the card's own interface: for a VLAN connection
// the frame carries its 802.1Q tag itself (send_control_segment). Every session on the
// interface shares it.
int tcp_hw_session::open_packet_socket(const char* ifname) {
  kvel::pkt_socket_release(pkt_fd_);
  const kvel::vlan_name vn = kvel::split_vlan_name(ifname);
  pkt_fd_ = kvel::pkt_socket_acquire(int(if_nametoindex(vn.name.c_str())));
  if (pkt_fd_ >= 0) return 0;
  TCP_INIT_DIAG("Could not init PF_PACKET on %s\n\n", ifname);
  return -1;
}

int tcp_hw_session::route_to_peer() {
  ifindex_ = uint32_t(if_info_->ifindex);
  char kernel_name[IF_NAMESIZE];
  const bool named = ifindex_ > 0 && if_indextoname(ifindex_, kernel_name);
  routes_.refresh(named ? kernel_name : nullptr);
  if (kvel::select_next_hop(remote_ip_, *if_info_, routes_.current_, &next_hop_) != 0)
    return -EHOSTUNREACH;
  if (kvel::resolve_neighbour_mac(next_hop_, if_info_->name.c_str(), next_hop_mac_) != 0)
    return -EHOSTUNREACH;
  return 0;
}

int tcp_hw_session::open_session(const char* dev_path) {
  if (kvel::open_session_regs("tcp/tcp_pkt_if", dev_path, fiber_, kvel::KVEL_ALLOC_TCP_SESSION,
                              &dev_fd_, &reg_) != 0)
    return -1;
  const uint64_t id = kvel::mmio_read64(reg_, kvel::SESSION_REG_IDENTITY);
  if (((id >> 24) & 0xFF) != TCP_SESSION_ID) {
    fprintf(kvel::plain_output(), "kvel: Internal error when enabling TCP session, registers are not TCP! "
           "(idreg=%10lX)\n", (unsigned long)id);
    return -1;
  }
  return 0;
}

int tcp_hw_session::find_vlan_slot() {
  vlan_slot_ = 0;
  if (vlan_id_ == 0) return 0;
  kvel::zorvfiber fiber(dev_fd_);
  fiber.init(fiber_, true);  // a page that cannot be read finds no slot below
  const int slot = fiber.get_vlan_set(vlan_id_);
  fiber.unmap();
  if (slot < 0) {
    TCP_INIT_DIAG("Allocating VLAN session failed (%s)\n", strerror(errno));
    return -1;
  }
  vlan_slot_ = slot;
  return 0;
}

int tcp_hw_session::bind_connection() {
  tcp_session_setup_arg arg{};
  arg.remote_ip = remote_ip_;
  arg.local_port = local_port_;
  arg.remote_port = remote_port_;
  arg.vlan_slot = uint8_t(vlan_slot_);
  if (kvel::kvel_dev_ioctl(dev_fd_, kvel::KVEL_TCP_SESSION_SETUP, &arg) != 0) {
    fputs("kvel: Kernel TCP session setup failed" "\n", kvel::plain_output());
    return -1;
  }
  return 0;
}

int tcp_hw_session::start_datapath() {
  const int rc = rx_dma_.setup_rx_ring(rx_bytes_);
  if (rc != 0) return rc;
  return tx_pio_.setup_tx_window(TCP_CTRL_TX_ENABLE);
}

int tcp_hw_session::send_control_segment(const void* payload, uint16_t len, tcp_tx_desc* desc) {
  desc->length = len;
  uint8_t frame[TCP_CTRL_FRAME_MAX];
  const frame_source src{src_mac_, local_ip_, uint16_t(vlan_id_)};
  const int n = build_control_frame(frame, src, *desc, payload);
  if (n < 0) {
    errno = EMSGSIZE;
    return -1;
  }
  return int(send(pkt_fd_, frame, size_t(n), 0));
}

void tcp_hw_session::set_rst_on_release(int on, const char* func, int line) {
  if (kvel::kvel_dev_ioctl(dev_fd_, kvel::KVEL_TCP_TRIGGER_RST_ON_RELEASE, &on) != 0)
    kvel::diag_print("tcp/tcp_pkt_if", func, line, "KVEL_TCP_TRIGGER_RST_ON_RELEASE error: %s\n\n",
                     strerror(errno));
}

void tcp_hw_session::enable_rst_on_release() { set_rst_on_release(1, __func__, __LINE__); }
void tcp_hw_session::disable_rst_on_release() { set_rst_on_release(0, __func__, __LINE__); }

int register_listener(int fd, uint32_t port_index, uint16_t port, uint32_t ip, uint16_t vlan_id) {
  tcp_listen_arg arg{port_index, htonl(ip), htons(port), vlan_id};
  return kvel::kvel_dev_ioctl(fd, kvel::KVEL_TCP_LISTEN, &arg);
}

// Register page, device, ring, TX pages, then the packet socket.
void tcp_hw_session::release_pages() {
  kvel::kvel_dev_unmap(reg_, kvel::KVEL_PAGE_SIZE);
  reg_ = nullptr;
  kvel::kvel_dev_close_if_open(dev_fd_);
  rx_dma_.unmap();
  tx_pio_.unmap();
  txack_ = nullptr;
  control_ = 0;
  kvel::pkt_socket_release(pkt_fd_);
  pkt_fd_ = -1;
}

void tcp_hw_session::release() {
  release_pages();
  ifname_.clear();
  delete if_info_;
  if_info_ = nullptr;
}

}  // namespace vyxtcp
