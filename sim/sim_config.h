// The simulator's card configuration: devices and their ports, read from a file of
// lines ("device ID [tsc_khz=N] [capture_mb=N] [tcp_sessions=N] [udp_sessions=N]", "port IFNAME [key=value]...", the port
// keys tap, mac, speed, type, identity, tx_delay_ps, rx_delay_ps, wire, tcp_give_up_ms
// and tcp_rto_min_ms).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zsim {

constexpr int MAX_PORTS_PER_DEVICE = 16;
constexpr size_t MAX_TAP_NAME = 15;  // longest Linux interface name

struct port_config {
  std::string ifname;
  std::string tap;  // host-side TAP name; empty: the port has no TAPs
  uint64_t mac = 0;
  uint64_t speed = 1;
  uint64_t type = 1;
  uint64_t identity = 0x10000200;
  int32_t tx_delay_ps = 0;
  int32_t rx_delay_ps = 0;
  bool wire = true;  // has a wire TAP (only with a host TAP)
  // The card's data retransmission on TCP sessions: how long a connection may go
  // without progress before the card gives up and asks for a reset (Linux's default of
  // about 15 minutes), and the floor of its retransmission timeout.
  uint32_t tcp_give_up_ms = 900000;
  uint32_t tcp_rto_min_ms = 200;
  int index = 0;     // port index on its device
  int k = 0;         // global index: order in the file
};

struct device_config {
  std::string id;  // node /dev/zorvnic_<id>
  uint32_t tsc_khz = 2400000;
  uint32_t capture_mb = 16;
  // Sessions each port offers, as a card built for many connections does. An unused
  // session costs nothing; one in use costs its pages and a few descriptors.
  uint32_t tcp_sessions = 4096;
  uint32_t udp_sessions = 2048;
  std::vector<port_config> ports;
};

struct sim_config {
  std::vector<device_config> devices;
};

// False with "FILE:LINE: what is wrong" in *error.
bool load_config(const std::string& path, sim_config* config, std::string* error);

}  // namespace zsim
