// The Ethernet ('S') session of a port and the driver's kernel Ethernet service for it:
// the daemon allocates one per port and then asks the driver to serve the port as a
// Linux interface. The card sends and receives nothing through the session here; it
// only has to exist, with its pages, for the daemon's set-up. Faults can be injected
// per port so that the daemon's error paths can be exercised.
#pragma once
#include <atomic>
#include <string>

namespace zsim {

struct sim_conn;
struct sim_session;
struct sim_port;

// What the next requests of a port's Ethernet session are made to meet.
enum eth_fault : int {
  ETH_FAULT_NONE = 0,
  ETH_FAULT_ALLOC,       // KVEL_ALLOC_ETH_SESSION refused
  ETH_FAULT_IDENTITY,    // the session page reads as a TCP session's
  ETH_FAULT_KERNEL_ETH,  // KVEL_DEV_ENABLE_KERNEL_ETH refused
  ETH_FAULT_CARRIER,     // KVEL_ETH_CARRIER_ON and _OFF refused
};

// Per port, set by the ctl command "eth-fault" and by KVEL_DEV_ENABLE_KERNEL_ETH.
struct eth_port_state {
  std::atomic<int> fault{ETH_FAULT_NONE};
  std::atomic<bool> kernel_eth{false};  // the driver serves the port as an interface
};

// Each gives 0 or an errno value.
int conn_alloc_eth_session(sim_conn& conn, int port_index);
int conn_enable_kernel_eth(sim_conn& conn);
// The driver serves the port only while the session that asked for it lives.
void eth_session_released(sim_session& s);
// EIO while the port's carrier commands are made to fail.
int eth_carrier_fault(const sim_port& port);

// "none", "alloc", "identity", "kernel-eth" or "carrier"; false for another word.
bool eth_fault_parse(const std::string& word, int* fault);

}  // namespace zsim
