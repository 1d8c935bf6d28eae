#include "devname.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "plain_output.h"

namespace kvel {

namespace {

constexpr char DEV_DIR[] = "/dev";
constexpr char DEV_PREFIX[] = "zorvnic_";
constexpr size_t PORT_NAME_BUF = 64;  // argument size of KVEL_DEV_PORT_NAME

// The VLAN token read as a decimal number; 0 when it does not begin with one. A number
// that does not fit an int gives -1, which matches no VLAN slot: truncating it would
// turn "kvel0.4294967396" into VLAN 100.
int parse_vlan_token(const char* token) {
  errno = 0;
  long v = strtol(token, nullptr, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return -1;
  return int(v);
}

bool parses_as_port_name(const char* name) {
  unsigned bus;
  int index;
  return sscanf(name, "kvel_%X_%d", &bus, &index) == 2;
}

fiber_device find_reported_port(const std::vector<std::string>& devices, const char* name) {
  for (const std::string& dev : devices)
    for (const auto& [port_name, index] : list_device_ports(dev))
      if (port_name == name) return {dev, index};
  return {"", -1};
}

}  // namespace

vlan_name split_vlan_name(const char* ifname) {
  vlan_name r{"", 0};
  if (!ifname) return r;
  size_t len = strnlen(ifname, IFNAME_MAX + 1);
  if (len > IFNAME_MAX) return r;
  char buf[IFNAME_MAX + 1];
  memcpy(buf, ifname, len);
  buf[len] = '\0';
  char* rest = nullptr;
  const char* first = strtok_r(buf, ".", &rest);
  if (!first) return r;
  r.name = first;
  if (const char* second = strtok_r(nullptr, ".", &rest)) r.vlan = parse_vlan_token(second);
  return r;
}

std::vector<std::string> list_devices() {
  std::vector<std::string> paths;
  DIR* dir = opendir(DEV_DIR);
  if (!dir) return paths;
  while (const dirent* e = readdir(dir))
    if (strncmp(e->d_name, DEV_PREFIX, sizeof DEV_PREFIX - 1) == 0)
      paths.push_back(std::string(DEV_DIR) + "/" + e->d_name);
  closedir(dir);
  return paths;
}

std::vector<std::pair<std::string, int>> list_device_ports(const std::string& dev_path) {
  std::vector<std::pair<std::string, int>> ports;
  int fd = kvel_dev_open(dev_path.c_str(), true);
  if (fd < 0) {
    fprintf(kvel::plain_output(), "Cannot open device %s\n", dev_path.c_str());
    fflush(kvel::plain_output());
    return ports;
  }
  if (kvel_dev_ioctl(fd, KVEL_DEV_PROBE, nullptr) == 0) {
    for (int index = 0; index < KVEL_MAX_PORTS; ++index) {
      char buf[PORT_NAME_BUF] = {};
      memcpy(buf, &index, sizeof index);
      if (kvel_dev_ioctl(fd, KVEL_DEV_PORT_NAME, buf) != 0) continue;
      // The driver's name is trusted only up to the end of the buffer.
      ports.emplace_back(std::string(buf, strnlen(buf, sizeof buf)), index);
    }
  }
  kvel_dev_close(fd);
  return ports;
}

fiber_device resolve_interface(const char* name) {
  if (!name) return {"", -1};
  std::vector<std::string> devices = list_devices();
  if (parses_as_port_name(name)) return find_reported_port(devices, name);
  unsigned port;
  // A number beyond int ("kvel-1" reads as UINT_MAX) cannot be a port index.
  if (sscanf(name, "kvel%u", &port) == 1 && port <= INT_MAX && !devices.empty()) {
    // Byte order, not numeric: zorvnic_10 comes before zorvnic_2.
    std::sort(devices.begin(), devices.end());
    return {devices.front(), int(port)};
  }
  return {"", -1};
}

}  // namespace kvel
