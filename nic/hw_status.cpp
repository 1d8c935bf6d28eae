#include "hw_status.h"

#include <ctime>

#include "kvel_dev.h"
#include "session_status.h"
#include "status_text.h"
#include "text_util.h"

namespace {

uint64_t reg(const volatile uint64_t* page, int n) { return kvel::mmio_read64(page, 8 * size_t(n)); }

const char* speed_name(uint64_t speed) {
  static const char* const NAMES[] = {"1G", "10G", "25G", "40G", "50G", "100G"};
  return speed < sizeof NAMES / sizeof NAMES[0] ? NAMES[speed] : "UNKN";
}

const char* type_name(uint64_t type) {
  return type == 1 ? "NORMAL" : type == 2 ? "TIME" : "UNKN";
}

// Fiber configuration registers by number.
constexpr int FIBER_NUMBER = 2, FIBER_SPEED = 3, FIBER_MAC_HW = 4, FIBER_MAC = 5,
              FIBER_DATA_CH_NB = 6, FIBER_UDP_LOOPBACK = 12, FIBER_STATUS = 13,
              FIBER_LOCAL_IP = 14, FIBER_LOCAL_IP_MASK = 15, FIBER_TYPE = 11;
// Global registers by number.
constexpr int GLOBAL_GITHASH = 2, GLOBAL_SYNTH_TIME = 3;

}  // namespace

namespace vyx {

void append_eth_status(std::string& out, const zorveth_v2& s) {
  kvel::append_ring_status(out, "L2", s.reg_);
}

void print_eth_status(const zorveth_v2& s) {
  std::string text;
  append_eth_status(text, s);
  kvel::write_plain(text);
}

}  // namespace vyx

namespace vyxtcp {

void append_tcp_hw_status(std::string& out, const tcp_hw_session& s) {
  if (!s.reg_) return;
  kvel::append_ring_status(out, "TCP", s.reg_);
  kvel::append_tx_status(out, s.reg_, s.tx_pio_);
}

void print_tcp_hw_status(const tcp_hw_session& s) {
  std::string text;
  append_tcp_hw_status(text, s);
  kvel::write_plain(text);
}

}  // namespace vyxtcp

namespace kvel {

void append_debug_counters(std::string& out, const volatile uint64_t* page) {
  static const std::pair<int, const char*> COUNTERS[] = {
      {2, "tx_pio_offset="},         {3, "tx_dma_addr_base="},
      {16, "rx_dbg_late_error_cnt="}, {17, "rx_dbg_early_error_cnt="},
      {19, "rx_dbg_rx_buf_no_space_drop_cnt="},
  };
  for (const auto& [n, label] : COUNTERS) append_value(out, label, reg(page, n));
}

void format_fiber_status(std::string& out, const volatile uint64_t* conf) {
  append_format(out, "Fiber %d speed %s type %s\n", int(reg(conf, FIBER_NUMBER)),
                speed_name(reg(conf, FIBER_SPEED)), type_name(reg(conf, FIBER_TYPE)));
  append_format(out, "MAC HW %s, MAC in use %s\n", mac_u64_to_string(reg(conf, FIBER_MAC_HW)).c_str(),
                mac_u64_to_string(reg(conf, FIBER_MAC)).c_str());
  static const std::pair<int, const char*> COUNTS[] = {
      {FIBER_DATA_CH_NB, "data_ch_nb "},     {FIBER_DATA_CH_NB + 1, "eth_session_nb "},
      {FIBER_DATA_CH_NB + 2, "tcp_session_nb "}, {FIBER_DATA_CH_NB + 3, "udp_session_nb "},
      {FIBER_DATA_CH_NB + 4, "tap_session_nb "}, {FIBER_UDP_LOOPBACK, "udp_loopback_en "},
      {FIBER_LOCAL_IP, "local_ip "},          {FIBER_LOCAL_IP_MASK, "local_ip_mask "},
      {FIBER_STATUS, "status "},
  };
  for (const auto& [n, label] : COUNTS) append_value(out, label, reg(conf, n));
  const uint64_t status = reg(conf, FIBER_STATUS);
  append_value(out, "rx-locked ", status & 1);
  append_value(out, "rx-pcs-locked (=link up) ", int32_t((status >> 1) & 1));
}

void format_hw_version(std::string& out, const volatile uint64_t* global) {
  const time_t synth = time_t(reg(global, GLOBAL_SYNTH_TIME));
  tm local;
  char date[64];
  // asctime's form ends in its own newline, so the line ends in an empty line. A time
  // too far out for a calendar date (a register reading all ones) has no such form.
  const bool dated = localtime_r(&synth, &local) && asctime_r(&local, date);
  append_format(out, "githash: %07X synth-time: %s\n", unsigned(reg(global, GLOBAL_GITHASH)),
                dated ? date : "(no valid time)\n");
}

}  // namespace kvel
