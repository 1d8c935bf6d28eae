#include "zorvudp_v2.h"

#include <net/if.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devname.h"
#include "diag.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "session_open.h"
#include "text_util.h"
#include "zorvfiber.h"
#include "zorvtime.h"
#include "plain_output.h"

// Every diagnostic of the set-up names the set-up itself, whichever helper runs it.
#define UDP_INIT_DIAG(...) ::kvel::diag_print("zorvudp_v2", "init", __LINE__, __VA_ARGS__)

namespace vyx {
namespace {

constexpr uint32_t BROADCAST = 0xFFFFFFFFu;
constexpr uint64_t MULTICAST_MAC_BASE = 0x01005E000000ull;  // RFC 1112 mapping
constexpr uint32_t MULTICAST_MAC_BITS = 0x7FFFFF;
const uint8_t BROADCAST_MAC[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

zorvudp_v2::zorvudp_v2() {
  tx_pio_.owner_ = {&fd_, &reg_, &control_};
  rx_dma_.owner_ = {&fd_, &reg_, &control_};
}

int zorvudp_v2::init(const char* ifname) {
  const kvel::vlan_name vn = kvel::split_vlan_name(ifname);
  const kvel::fiber_device dev = kvel::resolve_interface(vn.name.c_str());
  if (dev.dev_path.empty()) return -1;
  // A set-up that failed on this handle before left its descriptor and pages here:
  // give them back rather than lose them under new ones.
  release_pages();
  delete itf_;
  itf_ = kvel::make_if_info(ifname);
  ifindex_ = itf_->ifindex;
  char kernel_name[IF_NAMESIZE];
  const bool named = ifindex_ > 0 && if_indextoname(unsigned(ifindex_), kernel_name);
  routes_.refresh(named ? kernel_name : nullptr);
  if (ifindex_ < 1) {
    UDP_INIT_DIAG("Cannot use network interface %s\n\n", ifname);
    return -1;
  }
  // Without an address the session would send from 0.0.0.0 and filter for it.
  if (itf_->address == 0) return -EINVAL;
  int rc = open_session(dev.dev_path.c_str(), dev.fiber);
  if (rc == 0) rc = find_vlan_slot(vn.vlan);
  if (rc == 0) rc = start_datapath();
  if (rc != 0) return rc;
  if (getenv("VYX_DEBUG")) status_.start(this);
  max_payload_ = max_payload();
  return 0;
}

int zorvudp_v2::open_session(const char* dev_path, int fiber) {
  port_ = fiber;
  return kvel::open_session_regs("zorvudp_v2", dev_path, fiber, kvel::KVEL_ALLOC_UDP_SESSION,
                                 &fd_, &reg_);
}

int zorvudp_v2::find_vlan_slot(int vlan) {
  vlan_slot_ = 0;
  if (vlan == 0) return 0;
  kvel::zorvfiber fiber(fd_);
  fiber.init(port_, true);  // a page that cannot be read finds no slot below
  const int slot = fiber.get_vlan_set(uint32_t(vlan));
  fiber.unmap();
  if (slot < 0) {
    UDP_INIT_DIAG("Allocating VLAN session failed (%s)\n", strerror(errno));
    return -1;
  }
  vlan_slot_ = slot;
  return 0;
}

int zorvudp_v2::start_datapath() {
  const uint64_t id = kvel::mmio_read64(reg_, kvel::SESSION_REG_IDENTITY);
  if (((id >> 24) & 0xFF) != UDP_SESSION_ID) {
    fprintf(kvel::plain_output(), "kvel: Internal error when enabling UDP session, registers are not UDP! "
           "(idreg=%10lX)\n", (unsigned long)id);
    return -1;
  }
  int rc = rx_dma_.setup_rx_ring(rx_ring_bytes_);
  if (rc != 0) return rc;
  rc = tx_pio_.setup_tx_window(UDP_CTRL_TX_ENABLE);
  if (rc != 0) return rc;
  tx_desc_ = udp_tx_desc{};
  tx_desc_.flags =
      uint16_t(kvel::mmio_read64(reg_, kvel::SESSION_REG_TX_FLAGS) & UDP_DESC_FLAGS_MASK);
  memcpy(tx_desc_.src_mac, itf_->mac, sizeof tx_desc_.src_mac);
  tx_desc_.src_ip = itf_->address;
  tx_desc_.ttl = UDP_TTL_AT_SETUP;
  tx_desc_.vlan_slot = uint8_t(vlan_slot_);
  return 0;
}

int zorvudp_v2::program_filter() {
  udp_rx_filter_arg arg{};
  arg.match_ip = group_ ? group_ : (itf_ ? itf_->address : 0);
  arg.match_mask = group_ ? group_mask_ : BROADCAST;
  arg.local_port = local_port_;
  arg.vlan_slot = uint8_t(vlan_slot_);
  return kvel::kvel_dev_ioctl(fd_, kvel::KVEL_UDP_RX_FILTER, &arg);
}

int zorvudp_v2::set_rx_filter(uint16_t local_port, uint32_t dst_ip, uint16_t dst_port,
                              uint32_t group, uint32_t mask) {
  local_port_ = local_port;
  dst_ip_ = dst_ip;
  dst_unresolved_ = dst_ip != 0;  // until resolve_destination finds its MAC
  dst_port_ = dst_port;
  group_ = group;
  group_mask_ = mask;
  const int rc = program_filter();
  if (rc != 0) {
    fputs(KVEL_RED "Could not setup receive function of UDP" "\n", kvel::plain_output());
    return rc;
  }
  tx_desc_.src_port = local_port;
  // Without an address the first send answers the last sender. An address without a
  // port is resolved all the same: sends that take the last sender's port go there.
  if (dst_ip == 0) return 0;
  const int resolved = resolve_destination();
  if (resolved < 0) return resolved;
  tx_desc_.dst_port = dst_port;
  return 0;
}

// The card filters the old port until it takes the new one: a refused change leaves
// the old one recorded, so that a second try is made and not taken as done.
int zorvudp_v2::change_local_port(uint16_t port) {
  const uint16_t filtered = local_port_;
  local_port_ = port;
  fputs("HERE1" "\n", kvel::plain_output());
  const int rc = program_filter();
  if (rc != 0) {
    local_port_ = filtered;
    fputs("HERE2" "\n", kvel::plain_output());
    fputs(KVEL_RED "Could not setup receive function of UDP" "\n", kvel::plain_output());
    return rc;
  }
  tx_desc_.src_port = port;
  return 0;
}

int zorvudp_v2::resolve_destination() {
  tx_desc_.dst_ip = dst_ip_;
  const int rc = dst_ip_ == 0 ? 0 : find_destination_mac(dst_ip_);
  dst_unresolved_ = rc != 0;
  return rc;
}

int zorvudp_v2::find_destination_mac(uint32_t dst) {
  if (!itf_) return -EHOSTUNREACH;
  const uint32_t addr = itf_->address, mask = itf_->netmask;
  if (dst == BROADCAST || ((dst | mask) == BROADCAST && ((dst ^ addr) & mask) == 0)) {
    next_hop_ = dst;
    memcpy(tx_desc_.dst_mac, BROADCAST_MAC, sizeof BROADCAST_MAC);
    return 0;
  }
  if (kvel::is_multicast(dst)) {
    next_hop_ = dst;
    kvel::u64_to_mac(MULTICAST_MAC_BASE | (dst & MULTICAST_MAC_BITS), tx_desc_.dst_mac);
    return 0;
  }
  if (kvel::select_next_hop(dst, *itf_, routes_.current_, &next_hop_) != 0)
    return -EHOSTUNREACH;
  // A lookup that fails may leave a half-read entry: the descriptor keeps its MAC.
  uint8_t mac[6];
  if (kvel::resolve_neighbour_mac(next_hop_, itf_->name.c_str(), mac) != 0)
    return -EHOSTUNREACH;
  memcpy(tx_desc_.dst_mac, mac, sizeof mac);
  return 0;
}

void zorvudp_v2::release_pages() {
  kvel::kvel_dev_unmap(reg_, kvel::KVEL_PAGE_SIZE);
  reg_ = nullptr;
  kvel::kvel_dev_close_if_open(fd_);
  rx_dma_.unmap();
  tx_pio_.unmap();
  control_ = 0;
}

// The status thread reads pages and registers: it ends before any of them goes.
void zorvudp_v2::release() {
  status_.stop();
  release_pages();
  ts_log_.release();
  delete itf_;
  itf_ = nullptr;
}

}  // namespace vyx
