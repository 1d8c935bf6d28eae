// Per-interface time-stamp corrections from "/etc/vyx/zorvnic/<interface>".
#pragma once
#include <cstdint>
#include <string>

namespace kvel {

constexpr const char* TS_CONFIG_DIR = "/etc/vyx/zorvnic";

struct ts_adjustment_config {
  int enable;       // 1 when its key or the file is missing
  int rx_internal;  // ps, -1 = not given
  int rx_external;
  int tx_internal;
  int tx_external;
};

void read_ts_config(ts_adjustment_config& cfg, const char* ifname);
// The same from a file given by its path. A numeric value that does not begin with a
// number, or does not fit a signed 32-bit int, counts as absent (-1).
void read_ts_config_file(ts_adjustment_config& cfg, const std::string& path);
int load_config_text(std::string& out, const char* path);
int find_config_value(const std::string& text, const char* key, std::string& value);

// TX and RX adjustments in ns from the corrections and the port's delays in ps.
void compute_ts_adjustment(const ts_adjustment_config& cfg, int64_t tx_delay_ps,
                           int64_t rx_delay_ps, int32_t* tx_ns, int32_t* rx_ns);
// The corrected TX and RX delays in ps (the port's delays where no internal correction
// is given, plus the external ones); both 0 when the corrections are disabled.
void compute_ts_delays_ps(const ts_adjustment_config& cfg, int64_t tx_delay_ps,
                          int64_t rx_delay_ps, int64_t* tx_ps, int64_t* rx_ps);
// The port's delays in ps (0 after a diagnostic when the page cannot be mapped).
void read_port_delays(int dev_fd, int fiber, int64_t* tx_ps, int64_t* rx_ps);

}  // namespace kvel
