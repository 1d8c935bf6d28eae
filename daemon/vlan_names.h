// Which interfaces are VLAN sub-interfaces of a port: "<port>.<id>", the name before
// the dot equal to the port's name and one decimal suffix, nothing more. kvel1 does not
// own kvel10.5, nor kvel0 the nested kvel0.5.7.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zorvd {

constexpr int VLAN_NOT_OURS = 0;
constexpr int VLAN_ID_REFUSED = -1;  // ours, but the id is outside 1..4094

// The VLAN id that `ifname` names on `port`, VLAN_NOT_OURS, or VLAN_ID_REFUSED.
int vlan_id_of(const std::string& ifname, const std::string& port);

struct vlan_sub {
  std::string ifname;
  uint32_t vlan;
};

struct vlan_scan {
  std::vector<vlan_sub> subs;          // the port's first `slots` sub-interfaces, in order
  std::vector<std::string> refused;    // sub-interfaces whose id is outside 1..4094
  std::vector<std::string> left_out;   // sub-interfaces beyond the card's slots
};

// Sorts the names (in if_nameindex order) for `port` with `slots` card slots.
vlan_scan scan_vlan_names(const std::vector<std::string>& names, const std::string& port,
                          size_t slots);

}  // namespace zorvd
