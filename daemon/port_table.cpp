#include "port_table.h"

#include <cstdio>

#include "devname.h"

namespace zorvd {

bool port_table::add(const std::string& dev_path, const std::string& name, int index,
                     bool tlp_hints) {
  if (slots.size() >= PORT_SLOTS) {
    printf("kvel: %s (device: %s) not served: no more than %zu ports\n", name.c_str(),
           dev_path.c_str(), PORT_SLOTS);
    return false;
  }
  slots.push_back(bring_up_port(dev_path, name, index, tlp_hints));
  return true;
}

void port_table::bring_up_all(bool tlp_hints) {
  for (const std::string& dev : kvel::list_devices()) {
    const auto ports = kvel::list_device_ports(dev);
    if (ports.empty()) printf("Zorvnic device without kernel ethernet driver found %s, ok if CXL\n",
                              dev.c_str());
    for (const auto& [name, index] : ports) add(dev, name, index, tlp_hints);
  }
}

void port_table::monitor_all() {
  for (const auto& port : slots)
    if (port) monitor_port(*port);
}

}  // namespace zorvd
