// The simulated card: devices with their global and time module pages, ports with
// their fiber configuration pages, TAPs, link state and counters. Built once at
// start; afterwards only the atomics and the pages' contents change.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim_config.h"
#include "sim_eth.h"
#include "sim_console.h"
#include "sim_impair.h"
#include "sim_region.h"
#include "sim_session_table.h"

namespace zsim {

struct sim_capture;

// Fiber configuration page registers that the simulator fills.
enum fiber_reg : unsigned {
  FIBER_IDENTITY = 0,
  FIBER_NUMBER = 2,
  FIBER_SPEED = 3,
  FIBER_MAC_HW = 4,
  FIBER_MAC = 5,
  FIBER_DATA_CH_NB = 6,
  FIBER_ETH_SESSION_NB = 7,
  FIBER_TCP_SESSION_NB = 8,
  FIBER_UDP_SESSION_NB = 9,
  FIBER_TAP_SESSION_NB = 10,
  FIBER_TYPE = 11,
  FIBER_STATUS = 13,
  FIBER_LOCAL_IP = 14,
  FIBER_VLAN_FIRST = 16,  // VLAN slot k + 1 is register 16 + k: id in bits 43..32
  FIBER_TX_DELAY = 43,
  FIBER_RX_DELAY = 44,
};
constexpr uint64_t FIBER_STATUS_LINK_UP = 0x3;  // rx-locked and rx-pcs-locked
constexpr uint64_t FIBER_TYPE_TIME = 2;
constexpr unsigned TIME_REG_NOW = 2;

enum link_mode : int { LINK_AUTO = 0, LINK_FORCED_UP = 1, LINK_FORCED_DOWN = 2 };

struct port_counters {
  std::atomic<uint64_t> to_wire_frames{0}, to_wire_bytes{0};  // host interface -> wire
  std::atomic<uint64_t> from_wire_frames{0}, from_wire_bytes{0};
  std::atomic<uint64_t> to_host_frames{0};  // wire -> host interface
  std::atomic<uint64_t> drop_link_down{0}, drop_no_carrier{0}, drop_no_wire{0};
  std::atomic<uint64_t> drop_write_error{0};
  // The port's UDP sessions together (each session counts its own as well).
  std::atomic<uint64_t> udp_tx_frames{0}, udp_tx_bytes{0}, udp_tx_bad_desc{0};
  std::atomic<uint64_t> udp_rx_delivered{0}, udp_rx_drop_ring_full{0}, udp_rx_drop_checksum{0},
      udp_rx_drop_zero_length{0}, udp_rx_drop_too_long{0}, udp_rx_drop_stopped{0};
  std::atomic<uint64_t> udp_rx_filter_miss{0};  // datagrams no session took
  // The port's TCP sessions together, and its listeners.
  std::atomic<uint64_t> tcp_tx_frames{0}, tcp_tx_bytes{0}, tcp_tx_bad_desc{0};
  std::atomic<uint64_t> tcp_tx_doorbell_acks{0}, tcp_tx_resets{0};
  // The card's data retransmission: every resend, those the ACKs asked for (duplicate
  // or partial), probes of a shut window, and connections given up with a reset request.
  std::atomic<uint64_t> tcp_tx_retransmits{0}, tcp_tx_fast_retransmits{0},
      tcp_tx_window_probes{0}, tcp_reset_requests{0};
  std::atomic<uint64_t> tcp_rx_delivered{0}, tcp_rx_software{0}, tcp_rx_txack_only{0},
      tcp_rx_drop_ring_full{0}, tcp_rx_drop_checksum{0}, tcp_rx_drop_too_long{0},
      tcp_rx_drop_stopped{0};
  std::atomic<uint64_t> tcp_listen_queued{0}, tcp_listen_duplicates{0}, tcp_listen_drop_full{0},
      tcp_listen_drop_checksum{0};
  // Impairment injected on the wire side, both directions together.
  std::atomic<uint64_t> impair_dropped{0}, impair_duplicated{0}, impair_reordered{0};
};

struct sim_port {
  port_config conf;
  sim_region fiber;
  int host_tap = -1;
  int wire_tap = -1;
  std::string wire_name;  // "wire<k>", empty without a wire
  std::atomic<int> link_mode{LINK_AUTO};
  std::atomic<bool> link_up{false};
  std::mutex link_mutex;  // one evaluation of the link at a time
  std::atomic<bool> carrier{false};
  eth_port_state eth;
  // Address given by KVEL_SET_TIME_ADDR (time ports only).
  std::atomic<uint64_t> time_mac{0};
  std::atomic<uint32_t> time_ip{0};
  // tx: frames leaving toward the peer; rx: frames from the wire, before steering.
  impair_dir impair_tx, impair_rx;
  port_counters counters;
  std::unique_ptr<sim_capture> capture;  // sim_capture.h

  sim_port();
  ~sim_port();
};

struct sim_device {
  device_config conf;
  std::string node_path;
  sim_region global;
  sim_region time;
  sim_console console;
  std::vector<std::unique_ptr<sim_port>> ports;
};

struct sim_card {
  std::vector<std::unique_ptr<sim_device>> devices;
  std::vector<sim_port*> ports;  // by global index k
  int wire_query_fd = -1;        // datagram socket in the wires' namespace
  std::atomic<bool> stopping{false};
  // Descriptors whose block is a time module: the card clock runs fast only while
  // there are some, and is woken when the first one comes.
  std::atomic<int> time_users{0};
  std::mutex clock_mutex;
  std::condition_variable clock_wake;
  // "stall": every reply is held back stall_ms until stall_until_ms (monotonic).
  std::atomic<int64_t> stall_ms{0};
  std::atomic<int64_t> stall_until_ms{0};
  sim_session_table sessions;

  ~sim_card();
  sim_device* device(const std::string& id) const;
};

// Devices, ports and their pages from the configuration. False with *error.
bool card_build(const sim_config& config, sim_card* card, std::string* error);
// Host TAPs in the own namespace, wire TAPs in wire_netns_fd's (-1: own namespace).
bool card_open_taps(sim_card* card, int wire_netns_fd, bool carrier_on, std::string* error);

int64_t monotonic_ms();
int64_t monotonic_ns();

}  // namespace zsim
