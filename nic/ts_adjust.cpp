#include "ts_adjust.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "zorvfiber.h"

namespace kvel {

namespace {

constexpr const char* KEY_ENABLE = "ts_adjustment_enable";
constexpr const char* KEY_RX_INTERNAL = "ts_rx_internal_adjustment_ps";
constexpr const char* KEY_RX_EXTERNAL = "ts_rx_external_adjustment_ps";
constexpr const char* KEY_TX_INTERNAL = "ts_tx_internal_adjustment_ps";
constexpr const char* KEY_TX_EXTERNAL = "ts_tx_external_adjustment_ps";
constexpr int NOT_GIVEN = -1;
constexpr int64_t PS_PER_NS = 1000;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string trim_blanks(const std::string& line) {
  size_t b = 0, e = line.size();
  while (b < e && is_blank(line[b])) ++b;
  while (e > b && is_blank(line[e - 1])) --e;
  return line.substr(b, e - b);
}

std::string without_whitespace(const std::string& s) {
  std::string r;
  for (char c : s)
    if (!isspace(static_cast<unsigned char>(c))) r += c;
  return r;
}

std::string lower_case(std::string s) {
  for (char& c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

// A decimal integer with an optional sign, read up to the first other character. A
// value that does not begin with a number or does not fit an int counts as not given:
// a typing error in the file must not end an application's process.
int parse_ps(const std::string& value) {
  const char* start = value.c_str();
  char* end = nullptr;
  errno = 0;
  long v = strtol(start, &end, 10);
  if (end == start || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return NOT_GIVEN;
  return int(v);
}

int read_ps(const std::string& text, const char* key) {
  std::string value;
  return find_config_value(text, key, value) == 0 ? parse_ps(value) : NOT_GIVEN;
}

// An internal correction replaces the port's delay; an external one is added to it.
int64_t base_ps(int internal, int64_t port_delay_ps) {
  return internal != NOT_GIVEN ? internal : port_delay_ps;
}
int64_t extra_ps(int external) { return external != NOT_GIVEN ? external : 0; }

// Each term is truncated toward zero on its own.
int32_t adjustment_ns(int internal, int external, int64_t port_delay_ps) {
  return int32_t(base_ps(internal, port_delay_ps) / PS_PER_NS + extra_ps(external) / PS_PER_NS);
}

}  // namespace

int load_config_text(std::string& out, const char* path) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    line = trim_blanks(line);
    if (line.empty() || line[0] == '#') continue;
    out += line.substr(0, line.find('#'));  // a '#' inside a value ends the value
    out += '\n';
  }
  return out.empty() ? -1 : 0;
}

int find_config_value(const std::string& text, const char* key, std::string& value) {
  value.clear();
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(key) == std::string::npos) continue;
    size_t eq = line.find('=');
    value = without_whitespace(eq == std::string::npos ? line : line.substr(eq + 1));
    return value.empty() ? -1 : 0;  // the first line with the key decides
  }
  return -1;
}

void read_ts_config_file(ts_adjustment_config& cfg, const std::string& path) {
  std::string text;
  load_config_text(text, path.c_str());
  std::string enable;
  cfg.enable = find_config_value(text, KEY_ENABLE, enable) == 0 ? lower_case(enable) == "true" : 1;
  cfg.rx_internal = read_ps(text, KEY_RX_INTERNAL);
  cfg.rx_external = read_ps(text, KEY_RX_EXTERNAL);
  cfg.tx_internal = read_ps(text, KEY_TX_INTERNAL);
  cfg.tx_external = read_ps(text, KEY_TX_EXTERNAL);
}

void read_ts_config(ts_adjustment_config& cfg, const char* ifname) {
  read_ts_config_file(cfg, std::string(TS_CONFIG_DIR) + "/" + (ifname ? ifname : ""));
}

void compute_ts_adjustment(const ts_adjustment_config& cfg, int64_t tx_delay_ps,
                           int64_t rx_delay_ps, int32_t* tx_ns, int32_t* rx_ns) {
  const bool on = cfg.enable == 1;
  *tx_ns = on ? adjustment_ns(cfg.tx_internal, cfg.tx_external, tx_delay_ps) : 0;
  *rx_ns = on ? adjustment_ns(cfg.rx_internal, cfg.rx_external, rx_delay_ps) : 0;
}

void compute_ts_delays_ps(const ts_adjustment_config& cfg, int64_t tx_delay_ps,
                          int64_t rx_delay_ps, int64_t* tx_ps, int64_t* rx_ps) {
  const bool on = cfg.enable == 1;
  *tx_ps = on ? base_ps(cfg.tx_internal, tx_delay_ps) + extra_ps(cfg.tx_external) : 0;
  *rx_ps = on ? base_ps(cfg.rx_internal, rx_delay_ps) + extra_ps(cfg.rx_external) : 0;
}

void read_port_delays(int dev_fd, int fiber, int64_t* tx_ps, int64_t* rx_ps) {
  zorvfiber f(dev_fd);
  f.init(fiber, true);
  *tx_ps = f.get_pmapcsmac_tx_delay_ps();
  *rx_ps = f.get_pmapcsmac_rx_delay_ps();
  f.unmap();
}

}  // namespace kvel
