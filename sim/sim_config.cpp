#include "sim_config.h"

#include <cctype>
#include <fstream>
#include <set>

#include "sim_parse.h"
#include "sim_session_page.h"

namespace zsim {
namespace {

constexpr size_t MAX_IFNAME = 63;
constexpr size_t MAX_DEVICE_ID = 32;
constexpr size_t MAX_PORTS = 256;  // the port's number is one byte of its default MAC
constexpr uint32_t MAX_GIVE_UP_MS = 86400000;  // a day
constexpr uint32_t MAX_RTO_MIN_MS = 120000;  // the timeout's ceiling

struct config_reader {
  sim_config* config;
  std::set<std::string> ifnames, taps, device_ids;
  std::string problem;  // what is wrong with the current line

  bool fail(const std::string& what) {
    problem = what;
    return false;
  }

  // Splits "key=value"; false when there is no '=' or the key was given before.
  bool split_option(const std::string& word, std::set<std::string>& seen, std::string* key,
                    std::string* value) {
    size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return fail("expected key=value, got \"" + word + "\"");
    *key = word.substr(0, eq);
    *value = word.substr(eq + 1);
    if (!seen.insert(*key).second) return fail("option " + *key + " given twice");
    return true;
  }

  bool number(const std::string& key, const std::string& text, uint64_t max, uint64_t* out) {
    if (!parse_u64(text, out) || *out > max)
      return fail("bad value for " + key + ": \"" + text + "\"");
    return true;
  }

  bool small_number(const std::string& key, const std::string& text, uint32_t max, uint32_t* out) {
    uint64_t v;
    if (!number(key, text, max, &v)) return false;
    *out = uint32_t(v);
    return true;
  }

  bool delay(const std::string& key, const std::string& text, int32_t* out) {
    int64_t v;
    if (!parse_i64(text, &v) || v < INT32_MIN || v > INT32_MAX)
      return fail("bad value for " + key + ": \"" + text + "\"");
    *out = int32_t(v);
    return true;
  }

  bool device_line(const std::vector<std::string>& words);
  bool device_option(device_config& dev, const std::string& key, const std::string& value);
  bool port_line(const std::vector<std::string>& words);
  bool port_option(port_config& port, const std::string& key, const std::string& value);
  bool line(const std::string& text);
};

bool valid_device_id(const std::string& id) {
  if (id.empty() || id.size() > MAX_DEVICE_ID) return false;
  for (unsigned char c : id)
    if (!isalnum(c) && c != '_' && c != '-') return false;
  return true;
}

bool valid_ifname(const std::string& name, size_t max) {
  if (name.empty() || name.size() > max || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (!isgraph(c) || c == '/' || c == ':') return false;
  return true;
}

bool config_reader::device_option(device_config& dev, const std::string& key,
                                  const std::string& value) {
  uint64_t v;
  if (key == "tsc_khz") {
    if (!number(key, value, INT32_MAX, &v)) return false;
    dev.tsc_khz = uint32_t(v);
    return true;
  }
  if (key == "capture_mb") {
    if (!number(key, value, 4096, &v)) return false;
    if (v == 0) return fail("capture_mb must be at least 1");
    dev.capture_mb = uint32_t(v);
    return true;
  }
  if (key == "tcp_sessions" || key == "udp_sessions") {
    if (!number(key, value, MAX_SESSIONS_PER_KIND, &v)) return false;
    (key == "tcp_sessions" ? dev.tcp_sessions : dev.udp_sessions) = uint32_t(v);
    return true;
  }
  return fail("unknown device option \"" + key + "\"");
}

bool config_reader::device_line(const std::vector<std::string>& words) {
  if (words.size() < 2) return fail("device needs an id");
  if (!valid_device_id(words[1])) return fail("bad device id \"" + words[1] + "\"");
  if (!device_ids.insert(words[1]).second) return fail("device " + words[1] + " given twice");
  if (config->devices.size() == 256) return fail("too many devices");
  device_config dev;
  dev.id = words[1];
  std::set<std::string> seen;
  for (size_t i = 2; i < words.size(); ++i) {
    std::string key, value;
    if (!split_option(words[i], seen, &key, &value) || !device_option(dev, key, value))
      return false;
  }
  config->devices.push_back(dev);
  return true;
}

bool config_reader::port_option(port_config& port, const std::string& key,
                                const std::string& value) {
  uint64_t v;
  if (key == "tap") {
    if (value != "-" && !valid_ifname(value, MAX_TAP_NAME))
      return fail("bad tap name \"" + value + "\"");
    port.tap = value == "-" ? "" : value;
    return true;
  }
  if (key == "mac") return parse_mac(value, &port.mac) || fail("bad mac \"" + value + "\"");
  if (key == "speed") return number(key, value, 255, &port.speed);
  if (key == "type") return number(key, value, UINT32_MAX, &port.type);
  if (key == "identity") return number(key, value, UINT64_MAX, &port.identity);
  if (key == "tx_delay_ps") return delay(key, value, &port.tx_delay_ps);
  if (key == "rx_delay_ps") return delay(key, value, &port.rx_delay_ps);
  if (key == "tcp_give_up_ms") {
    if (!small_number(key, value, MAX_GIVE_UP_MS, &port.tcp_give_up_ms)) return false;
    return port.tcp_give_up_ms > 0 || fail("tcp_give_up_ms must be at least 1");
  }
  if (key == "tcp_rto_min_ms") {
    if (!small_number(key, value, MAX_RTO_MIN_MS, &port.tcp_rto_min_ms)) return false;
    return port.tcp_rto_min_ms > 0 || fail("tcp_rto_min_ms must be at least 1");
  }
  if (key == "wire") {
    if (!number(key, value, 1, &v)) return false;
    port.wire = v == 1;
    return true;
  }
  return fail("unknown port option \"" + key + "\"");
}

bool config_reader::port_line(const std::vector<std::string>& words) {
  if (config->devices.empty()) return fail("port before any device line");
  device_config& dev = config->devices.back();
  if (words.size() < 2) return fail("port needs an interface name");
  const std::string& ifname = words[1];
  if (!valid_ifname(ifname, MAX_IFNAME)) return fail("bad interface name \"" + ifname + "\"");
  if (!ifnames.insert(ifname).second) return fail("port " + ifname + " given twice");
  if (dev.ports.size() == MAX_PORTS_PER_DEVICE)
    return fail("more than 16 ports on device " + dev.id);
  size_t k = 0;
  for (const device_config& d : config->devices) k += d.ports.size();
  if (k == MAX_PORTS) return fail("too many ports");
  port_config port;
  port.ifname = ifname;
  port.tap = ifname.size() <= MAX_TAP_NAME ? ifname : "";
  port.index = int(dev.ports.size());
  port.k = int(k);
  port.mac = 0x025A00000000ull | uint64_t(config->devices.size() - 1) << 8 | k;
  std::set<std::string> seen;
  for (size_t i = 2; i < words.size(); ++i) {
    std::string key, value;
    if (!split_option(words[i], seen, &key, &value) || !port_option(port, key, value)) return false;
  }
  if (!port.tap.empty() && !taps.insert(port.tap).second)
    return fail("tap " + port.tap + " used twice");
  dev.ports.push_back(port);
  return true;
}

bool config_reader::line(const std::string& text) {
  std::vector<std::string> words = split_words(text.substr(0, text.find('#')));
  if (words.empty()) return true;
  if (words[0] == "device") return device_line(words);
  if (words[0] == "port") return port_line(words);
  return fail("unknown line \"" + words[0] + "\"");
}

}  // namespace

bool load_config(const std::string& path, sim_config* config, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot open the configuration";
    return false;
  }
  *config = {};
  config_reader reader{config, {}, {}, {}, {}};
  int number = 0;
  for (std::string text; std::getline(in, text);) {
    ++number;
    if (!reader.line(text)) {
      *error = path + ":" + std::to_string(number) + ": " + reader.problem;
      return false;
    }
  }
  if (config->devices.empty()) {
    *error = path + ": no device line";
    return false;
  }
  return true;
}

}  // namespace zsim
