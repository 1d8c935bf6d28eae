// One card port that zorvnic_daemon has brought up as a Linux interface, and what the
// daemon last wrote to the card for it. Everything here runs on the daemon's main
// thread only; the packet-socket server's thread shares nothing with the ports.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ip_config.h"
#include "zorveth_v2.h"
#include "zorvfiber.h"

namespace zorvd {

// A VLAN slot of the card as the daemon last wrote it.
struct vlan_slot {
  uint32_t vlan = 0;  // 0: empty
  ip_config cfg{};
  unsigned notes = ROUTE_NOTE_NONE;  // gateway messages last printed for it
};

struct alignas(64) daemon_port {
  vyx::zorveth_v2 session;  // held for the daemon's life
  std::string name;         // the kernel interface name the driver reported
  bool last_link = false;   // the carrier state last set
  ip_config cfg{};          // address and netmask as the card holds them
  unsigned notes = ROUTE_NOTE_NONE;  // gateway messages last printed for the port
  vlan_slot vlans[kvel::VLAN_SLOTS]{};
  uint8_t mac[6] = {};      // as the card holds it
  bool mac_valid = false;
  int ctl_fd = -1;          // the session's descriptor, for the daemon's driver commands
  bool tlp_hints = false;
  std::unique_ptr<kvel::zorvfiber> fiber;
  // What the VLAN step last said about sub-interfaces it cannot use, so that it says
  // it once rather than every second.
  std::vector<std::string> vlans_refused;
  std::vector<std::string> vlans_left_out;
};

// Brings up port `index` of device `dev_path`, reported as interface `name`: Ethernet
// session, fiber page, reset pulse, TLP hints, MAC and address into the card, kernel
// Ethernet on, carrier off. Null after the failure's message, with everything given back.
std::unique_ptr<daemon_port> bring_up_port(const std::string& dev_path, const std::string& name,
                                           int index, bool tlp_hints);

// One pass of the monitor: carrier after link, then MAC, IPv4 and VLAN table after the
// interfaces.
void monitor_port(daemon_port& port);

// With VYX_DEBUG set: the port's Ethernet session, fiber page and card version.
void print_port_status(const daemon_port& port);

}  // namespace zorvd
