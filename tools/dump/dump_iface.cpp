#include "dump_iface.h"

#include <cstdio>

#include "devname.h"

namespace zdump {

bool iface_name_form(const char* name) {
  int port = -1;
  unsigned card = 0;
  if (sscanf(name, "kvel%d", &port) == 1) return port >= 0;
  return sscanf(name, "kvel_%X_%d", &card, &port) == 2 && port >= 0;
}

int iface_port(const char* dev_path, const char* name) {
  if (!iface_name_form(name)) return -1;
  std::string base = kvel::split_vlan_name(name).name;
  for (const auto& [reported, index] : kvel::list_device_ports(dev_path))
    if (reported == base) return index;
  return -1;
}

}  // namespace zdump
