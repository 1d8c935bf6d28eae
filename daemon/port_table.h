// The ports zorvnic_daemon serves: one slot per port the driver reports, in discovery
// order (device nodes in directory order, then port index). A port whose bring-up
// failed leaves its slot empty; slots are never reused.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "daemon_port.h"

namespace zorvd {

constexpr size_t PORT_SLOTS = 256;

struct port_table {
  std::vector<std::unique_ptr<daemon_port>> slots;  // empty pointer: the port failed

  // Brings up every port of every device; ports beyond PORT_SLOTS are refused with a
  // message.
  void bring_up_all(bool tlp_hints);
  // Takes the next slot for one reported port; false when the table is full.
  bool add(const std::string& dev_path, const std::string& name, int index, bool tlp_hints);
  void monitor_all();
};

}  // namespace zorvd
