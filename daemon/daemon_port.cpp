#include "daemon_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hw_status.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "netinfo.h"
#include "status_text.h"
#include "text_util.h"

namespace zorvd {
namespace {

constexpr size_t GLOBAL_TLP_HINTS = 37 * 8;
constexpr uint64_t TLP_HINTS_ON = 7;

void release_port(daemon_port& p) {
  if (p.fiber) p.fiber->unmap();
  p.session.release();
}

// Gives everything back and reports the failure: the card offers one Ethernet session
// per port, so a failed port must not keep its own.
std::unique_ptr<daemon_port> fail_port(std::unique_ptr<daemon_port> p) {
  release_port(*p);
  return nullptr;
}

void print_start_config(const daemon_port& p) {
  printf("Using interface %s  ip conf: ", p.name.c_str());
  print_ip_config(p.cfg);
  printf("MAC: %s\n", kvel::mac_to_string(p.mac).c_str());
}

void set_tlp_hints(daemon_port& p) {
  volatile uint64_t* global = p.fiber->global_;
  if (!global) return;
  kvel::mmio_write64(global, GLOBAL_TLP_HINTS, p.tlp_hints ? TLP_HINTS_ON : 0);
  if (p.tlp_hints)
    printf("PCIe TLP transaction hints: %d\n", int(kvel::mmio_read64(global, GLOBAL_TLP_HINTS)));
}

// Slots an earlier run filled stay filled on the card: start from an empty table.
void clear_vlan_slots(daemon_port& p) {
  for (int s = 0; s < kvel::VLAN_SLOTS; ++s) p.fiber->set_vlan_set(uint8_t(s), 0, 0);
}

// The steps after the session exists; false after the failure's message.
bool start_port(daemon_port& p, int index) {
  p.ctl_fd = p.session.fd_;
  p.fiber = std::make_unique<kvel::zorvfiber>(p.ctl_fd);
  if (p.fiber->init(index, false) < 0) {
    printf("kvel: Zorvnic / fiber init failed fiber %d!\n", index);
    return false;
  }
  p.fiber->pulse_reset();
  if (p.session.init() != 0) {
    printf("kvel: Zorvnic init failed fiber %d!\n", index);
    return false;
  }
  set_tlp_hints(p);
  p.fiber->setup_mac_ip_regs(p.mac, p.cfg.address, p.cfg.netmask);
  clear_vlan_slots(p);
  if (kvel::kvel_dev_ioctl(p.ctl_fd, kvel::KVEL_DEV_ENABLE_KERNEL_ETH, nullptr) != 0)
    printf("kvel: Could not enable kernel driver for %s: %s\n\n", p.name.c_str(),
           strerror(errno));
  // The first monitor pass raises the carrier once it sees the link.
  kvel::kvel_dev_ioctl(p.ctl_fd, kvel::KVEL_ETH_CARRIER_OFF, nullptr);
  return true;
}

}  // namespace

std::unique_ptr<daemon_port> bring_up_port(const std::string& dev_path, const std::string& name,
                                           int index, bool tlp_hints) {
  printf("opening %s (device: %s)\n", name.c_str(), dev_path.c_str());
  auto p = std::make_unique<daemon_port>();
  p->name = name;
  p->tlp_hints = tlp_hints;
  if (kvel::get_if_mac(name.c_str(), p->mac) != 0) {
    printf("kvel: Cannot get MAC address of tap interface %s, aborting\nDoes the interface "
           "exist and is a non root user permitted to access it?\n\n", name.c_str());
    return fail_port(std::move(p));
  }
  p->mac_valid = true;
  read_ip_config(&p->cfg, &p->notes, name.c_str());
  print_route_notes(p->notes);
  print_start_config(*p);
  if (p->session.init_devfd(dev_path.c_str(), index) != 0) {
    printf("kvel: Zorvnic dev init failed fiber %d!\n", index);
    return fail_port(std::move(p));
  }
  if (!start_port(*p, index)) return fail_port(std::move(p));
  if (getenv("VYX_DEBUG")) print_port_status(*p);
  return p;
}

void print_port_status(const daemon_port& p) {
  std::string text;
  vyx::append_eth_status(text, p.session);
  kvel::format_fiber_status(text, p.fiber->conf_);
  if (p.fiber->global_) kvel::format_hw_version(text, p.fiber->global_);
  fflush(stdout);  // the dump goes straight to the descriptor, after the lines before it
  kvel::write_plain(text);
}

}  // namespace zorvd
