#include "sim_eth.h"

#include <cerrno>

#include "sim_conn.h"
#include "sim_session_page.h"

namespace zsim {

int conn_alloc_eth_session(sim_conn& conn, int port_index) {
  auto& ports = conn.dev->ports;
  if (port_index < 0 || size_t(port_index) >= ports.size()) return EINVAL;
  const int fault = ports[size_t(port_index)]->eth.fault.load();
  if (fault == ETH_FAULT_ALLOC) return EBUSY;
  if (int err = conn_alloc_session(conn, SESSION_ETH, port_index)) return err;
  if (fault == ETH_FAULT_IDENTITY) {
    const sim_region& regs = conn.session->regs;
    const uint64_t kind_bits = uint64_t(0xFF) << IDENTITY_KIND_SHIFT;
    regs.set_reg(REG_IDENTITY / 8, (regs.reg(REG_IDENTITY / 8) & ~kind_bits) |
                                       uint64_t(uint8_t(SESSION_TCP)) << IDENTITY_KIND_SHIFT);
  }
  return 0;
}

// The driver serves a port as an interface only for the holder of its Ethernet session.
int conn_enable_kernel_eth(sim_conn& conn) {
  if (!conn.session || conn.session->kind != SESSION_ETH) return EINVAL;
  sim_port* port = conn.session->wire;
  if (port->eth.fault.load() == ETH_FAULT_KERNEL_ETH) return EIO;
  port->eth.kernel_eth = true;
  return 0;
}

void eth_session_released(sim_session& s) { s.wire->eth.kernel_eth = false; }

int eth_carrier_fault(const sim_port& port) {
  return port.eth.fault.load() == ETH_FAULT_CARRIER ? EIO : 0;
}

bool eth_fault_parse(const std::string& word, int* fault) {
  static const char* const NAMES[] = {"none", "alloc", "identity", "kernel-eth", "carrier"};
  for (int i = 0; i < int(sizeof NAMES / sizeof NAMES[0]); ++i)
    if (word == NAMES[i]) {
      *fault = i;
      return true;
    }
  return false;
}

}  // namespace zsim
