// The fiber (port) configuration page and the card's global register page.
// The library maps them read-only for a moment at session set-up; zorvnic_daemon maps
// them read-write for its whole life and writes the port's MAC, address and VLANs.
#pragma once
#include <cstdint>

namespace kvel {

constexpr int VLAN_SLOTS = 15;
constexpr uint32_t VLAN_ID_MAX = 4094;  // 0 and 4095 are reserved by 802.1Q

class zorvfiber {
 public:
  int fd_ = -1;  // device descriptor; belongs to the builder, never closed here
  int fiber_ = 0;
  int type_ = -1;  // fiber type (register 11), -1 until init has read it
  volatile uint64_t* conf_ = nullptr;
  uint8_t mapped_ = 0;
  uint8_t has_link_status_ = 0;
  volatile uint64_t* global_ = nullptr;

  explicit zorvfiber(int fd) : fd_(fd) {}

  int init(int fiber, bool read_only);  // 0, or -1 after a diagnostic
  void unmap();
  int map_kvel_global(bool read_only);
  void setup_mac_ip_regs(const uint8_t mac[6], uint32_t ip, uint32_t mask);
  // Slot 0..14 (card VLAN slot + 1) gets vlan (0: slot empty) and address ip.
  void set_vlan_set(uint8_t slot, uint32_t vlan, uint32_t ip);
  uint64_t vlan_set(uint8_t slot);  // the slot register as the card holds it; 0 without one
  static uint64_t vlan_set_value(uint32_t vlan, uint32_t ip) { return uint64_t(vlan) << 32 | ip; }
  int get_vlan_set(uint32_t vlan);  // slot number 1..15, or -1
  int link_up();
  void pulse_reset();
  uint64_t read_id();
  int64_t get_pmapcsmac_tx_delay_ps();  // register 43, negative as 0
  int64_t get_pmapcsmac_rx_delay_ps();  // register 44, negative as 0
};

}  // namespace kvel
