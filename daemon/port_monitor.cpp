// The monitor pass of a port: the card follows the Linux interface once a second.
#include <net/if.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "daemon_port.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "netinfo.h"
#include "vlan_names.h"

namespace zorvd {
namespace {

// Carrier after the link. False when the pass ends here: link down, or a carrier change
// that failed (the old state is kept, so the next pass tries again).
bool follow_link(daemon_port& p) {
  const bool up = p.fiber->link_up() != 0;
  if (up == p.last_link) return up;
  const unsigned long cmd = up ? kvel::KVEL_ETH_CARRIER_ON : kvel::KVEL_ETH_CARRIER_OFF;
  if (kvel::kvel_dev_ioctl(p.ctl_fd, cmd, nullptr) != 0) {
    printf("kvel: Cannot turn the carrier of %s %s: %s\n", p.name.c_str(), up ? "on" : "off",
           strerror(errno));
    return false;
  }
  p.last_link = up;
  printf("%s %s\n", p.name.c_str(), up ? "up" : "down");
  return up;
}

// The card's MAC and address after the interface's. A reading that failed changes
// nothing.
void follow_address(daemon_port& p) {
  uint8_t mac[6];
  const bool mac_read = kvel::get_if_mac(p.name.c_str(), mac) == 0;
  const bool mac_changed = mac_read && (!p.mac_valid || memcmp(mac, p.mac, sizeof mac) != 0);
  ip_config cfg;
  unsigned notes;
  const bool cfg_read = read_ip_config(&cfg, &notes, p.name.c_str()) != IP_CONFIG_UNREAD;
  const bool cfg_changed = cfg_read && !(cfg == p.cfg);
  if (cfg_read && notes != p.notes) {
    print_route_notes(notes);
    p.notes = notes;
  }
  if (mac_changed) {
    printf("kvel: %s MAC changed to %02X:%02X:%02X:%02X:%02X:%02X, updating\n", p.name.c_str(),
           mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    memcpy(p.mac, mac, sizeof mac);
    p.mac_valid = true;
  }
  if (cfg_changed) {
    printf("kvel: %s IP cfg changed, updating\n", p.name.c_str());
    p.cfg = cfg;
  }
  if (mac_changed || cfg_changed) p.fiber->setup_mac_ip_regs(p.mac, p.cfg.address, p.cfg.netmask);
}

std::vector<std::string> interface_names(bool* ok) {
  std::vector<std::string> names;
  struct if_nameindex* list = if_nameindex();
  *ok = list != nullptr;
  if (!list) {
    puts("Cannot open any interface");
    return names;
  }
  for (const struct if_nameindex* i = list; i->if_index != 0; ++i) names.emplace_back(i->if_name);
  if_freenameindex(list);
  return names;
}

// Says which sub-interfaces cannot have a slot, when that changes.
void report_unused(std::vector<std::string>& said, const std::vector<std::string>& now,
                   const char* why) {
  if (said == now) return;
  for (const std::string& name : now)
    if (std::find(said.begin(), said.end(), name) == said.end())
      printf("kvel: VLAN sub-interface %s not used: %s\n", name.c_str(), why);
  said = now;
}

// Slot k after sub-interface sub: written when the card's slot or what was last written
// differs. False when the interfaces could not be read: the slot is left as it is.
bool fill_vlan_slot(daemon_port& p, int k, const vlan_sub& sub) {
  ip_config cfg;
  unsigned notes;
  if (read_ip_config(&cfg, &notes, sub.ifname.c_str()) == IP_CONFIG_UNREAD) return false;
  vlan_slot& slot = p.vlans[k];
  if (notes != slot.notes) print_route_notes(notes);
  slot.notes = notes;
  const uint64_t wanted = kvel::zorvfiber::vlan_set_value(sub.vlan, cfg.address);
  if (slot.vlan == sub.vlan && slot.cfg == cfg && p.fiber->vlan_set(uint8_t(k)) == wanted)
    return true;
  printf("Using interface %s (vlan_set : %d) ip conf: ", sub.ifname.c_str(), k + 1);
  print_ip_config(cfg);
  slot.vlan = sub.vlan;
  slot.cfg = cfg;
  p.fiber->set_vlan_set(uint8_t(k), sub.vlan, cfg.address);
  return true;
}

void empty_vlan_slot(daemon_port& p, int k) {
  vlan_slot& slot = p.vlans[k];
  if (slot.vlan == 0 && p.fiber->vlan_set(uint8_t(k)) == 0) return;
  slot = vlan_slot{};
  p.fiber->set_vlan_set(uint8_t(k), 0, 0);
}

void follow_vlans(daemon_port& p) {
  bool listed;
  const std::vector<std::string> names = interface_names(&listed);
  if (!listed) return;
  const vlan_scan scan = scan_vlan_names(names, p.name, kvel::VLAN_SLOTS);
  report_unused(p.vlans_refused, scan.refused, "VLAN id outside 1..4094");
  report_unused(p.vlans_left_out, scan.left_out, "the card has 15 VLAN slots");
  int k = 0;
  for (const vlan_sub& sub : scan.subs) {
    if (!fill_vlan_slot(p, k, sub)) return;
    ++k;
  }
  for (; k < kvel::VLAN_SLOTS; ++k) empty_vlan_slot(p, k);
}

}  // namespace

void monitor_port(daemon_port& p) {
  if (!follow_link(p)) return;
  follow_address(p);
  follow_vlans(p);
}

}  // namespace zorvd
