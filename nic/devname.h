// Device discovery and interface names: from "kvel0", "kvel0.100" or "kvel_1F_0" to a
// device node of the card's driver and a port index on it. Nothing is cached.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace kvel {

constexpr size_t IFNAME_MAX = 63;  // longest interface name handled

struct vlan_name {
  std::string name;  // text before the first '.'; empty when the name is unusable
  int vlan;          // decimal id after the first '.', 0 when there is none
};

// A NULL name, one longer than IFNAME_MAX characters or one without any token gives
// an empty name, which resolves to nothing.
vlan_name split_vlan_name(const char* ifname);

// "/dev/zorvnic_*" nodes in directory order.
std::vector<std::string> list_devices();
// (interface name, port index) pairs that the device reports, in index order.
std::vector<std::pair<std::string, int>> list_device_ports(const std::string& dev_path);

struct fiber_device {
  std::string dev_path;  // empty when not resolved
  int fiber;             // port index, -1 when not resolved
};

// Name without VLAN suffix (or NULL) to device and port.
fiber_device resolve_interface(const char* name);

}  // namespace kvel
