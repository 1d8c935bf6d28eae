#include "vlan_names.h"

#include "zorvfiber.h"

namespace zorvd {
namespace {

constexpr size_t VLAN_ID_DIGITS_MAX = 5;  // enough to tell 4094 from anything larger

}  // namespace

int vlan_id_of(const std::string& ifname, const std::string& port) {
  if (ifname.size() <= port.size() + 1 || ifname.compare(0, port.size(), port) != 0 ||
      ifname[port.size()] != '.')
    return VLAN_NOT_OURS;
  const std::string suffix = ifname.substr(port.size() + 1);
  if (suffix.find_first_not_of("0123456789") != std::string::npos) return VLAN_NOT_OURS;
  if (suffix.size() > VLAN_ID_DIGITS_MAX) return VLAN_ID_REFUSED;
  const unsigned long id = std::stoul(suffix);
  return id >= 1 && id <= kvel::VLAN_ID_MAX ? int(id) : VLAN_ID_REFUSED;
}

vlan_scan scan_vlan_names(const std::vector<std::string>& names, const std::string& port,
                          size_t slots) {
  vlan_scan scan;
  for (const std::string& name : names) {
    const int id = vlan_id_of(name, port);
    if (id == VLAN_ID_REFUSED)
      scan.refused.push_back(name);
    else if (id != VLAN_NOT_OURS && scan.subs.size() < slots)
      scan.subs.push_back({name, uint32_t(id)});
    else if (id != VLAN_NOT_OURS)
      scan.left_out.push_back(name);
  }
  return scan;
}

}  // namespace zorvd
