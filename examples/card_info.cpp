// card_info IFNAME...: what the library sees of the card for each interface name: the
// device nodes with their ports, where the name leads, the port's fiber registers, the
// card's clock beside the host's, the driver's TSC rate, the PMA/PCS/MAC delays and the
// time-stamp adjustments from /etc/vyx/zorvnic/<name>; at the end the TSC rate that
// the library uses.
#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "devname.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "text_util.h"
#include "ts_adjust.h"
#include "zorvfiber.h"
#include "zorvsock.h"
#include "zorvtime.h"

namespace {

// One "label  value" line, the values in one column.
void field(const char* label, const std::string& value) { printf("  %-22s %s\n", label, value.c_str()); }

std::string format(const char* fmt, auto... args) {
  char buf[256];
  snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

void print_devices() {
  printf("Device nodes (directory order)\n");
  auto devices = kvel::list_devices();
  if (devices.empty()) printf("  none\n");
  for (const std::string& dev : devices) {
    std::string ports;
    for (const auto& [name, index] : kvel::list_device_ports(dev))
      ports += (ports.empty() ? "" : ", ") + format("%d %s", index, name.c_str());
    field(dev.c_str(), ports.empty() ? "no ports" : "ports " + ports);
  }
}

const char* speed_text(uint64_t code) {
  static const char* const names[] = {"1G", "10G", "25G", "40G", "50G", "100G"};
  return code < std::size(names) ? names[code] : "unknown";
}

const char* type_text(int type) {
  if (type == 0 || type == 1) return "NORMAL";
  return type == 2 ? "TIME" : "unknown";
}

uint64_t conf_reg(const kvel::zorvfiber& f, int n) { return kvel::mmio_read64(f.conf_, 8 * size_t(n)); }

void print_fiber(int fd, int fiber) {
  kvel::zorvfiber f(fd);
  if (f.init(fiber, true) == 0) {
    field("fiber", format("%d", fiber));
    field("speed", speed_text(conf_reg(f, 3)));
    field("factory MAC", kvel::mac_u64_to_string(conf_reg(f, 4)));
    field("MAC in use", kvel::mac_u64_to_string(conf_reg(f, 5)));
    field("type", format("%s (%d)", type_text(f.type_), f.type_));
    field("link", f.link_up() ? "up" : "down");
  }
  f.unmap();
}

std::string seconds_text(uint64_t ns) {
  return format("%" PRIu64 ".%09" PRIu64 " s", ns / 1000000000u, ns % 1000000000u);
}

void print_card_time(const char* ifname) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  if (zorvsock_time_open(h, ifname) == 0) {
    uint64_t card = zorvsock_time_get(h);
    timespec host{};
    clock_gettime(CLOCK_REALTIME, &host);
    uint64_t host_ns = uint64_t(host.tv_sec) * 1000000000u + uint64_t(host.tv_nsec);
    field("card time", seconds_text(card));
    field("host CLOCK_REALTIME", seconds_text(host_ns));
    field("card - host", format("%+.3f us", (double(card) - double(host_ns)) / 1000.0));
  } else {
    field("card time", "cannot open the time module");
  }
  zorvsock_release_handle(h);
}

// The driver's report for this device; the rate the library settles on is one per
// process (the first device asked, or a calibration), printed at the end.
void print_driver_tsc(int fd) {
  int khz = 0;
  bool reported = kvel::kvel_dev_ioctl(fd, kvel::KVEL_TSC_KHZ, &khz) == 0 && khz > 0;
  field("driver TSC rate", reported ? format("%d kHz", khz) : "not reported");
  kvel::init_tsc_hz(fd);  // as a session set-up on this device would
}

std::string correction_text(int ps) { return ps == -1 ? "not given" : format("%d ps", ps); }

void print_delays_and_adjustments(const char* ifname, int fd, int fiber) {
  uint64_t tx_ps = 0, rx_ps = 0;
  if (zorvsock_get_pmapcsmac_delays(ifname, &tx_ps, &rx_ps) == 0)
    field("PMA/PCS/MAC delays", format("TX %" PRId64 " ps, RX %" PRId64 " ps (corrected)",
                                       int64_t(tx_ps), int64_t(rx_ps)));
  kvel::ts_adjustment_config cfg{};
  kvel::read_ts_config(cfg, ifname);
  int64_t tx_delay = 0, rx_delay = 0;
  kvel::read_port_delays(fd, fiber, &tx_delay, &rx_delay);
  int32_t tx_ns = 0, rx_ns = 0;
  kvel::compute_ts_adjustment(cfg, tx_delay, rx_delay, &tx_ns, &rx_ns);
  field("port delays", format("TX %" PRId64 " ps, RX %" PRId64 " ps", tx_delay, rx_delay));
  field("corrections file", std::string(kvel::TS_CONFIG_DIR) + "/" + ifname);
  field("  enabled", cfg.enable ? "yes" : "no");
  field("  RX internal", correction_text(cfg.rx_internal));
  field("  RX external", correction_text(cfg.rx_external));
  field("  TX internal", correction_text(cfg.tx_internal));
  field("  TX external", correction_text(cfg.tx_external));
  field("TS adjustments", format("TX %+d ns, RX %+d ns", tx_ns, rx_ns));
}

// Everything that needs the port's device: the descriptor shows that port's fiber page
// once KVEL_GET_FIBER has named it.
void print_port(const char* ifname, const kvel::fiber_device& dev) {
  int fd = kvel::kvel_dev_open(dev.dev_path.c_str());
  if (fd < 0) {
    field("device", format("cannot open %s: %m", dev.dev_path.c_str()));
    return;
  }
  int fiber = dev.fiber;
  if (kvel::kvel_dev_ioctl(fd, kvel::KVEL_GET_FIBER, &fiber) != 0) {
    field("fiber", format("the device has no port %d: %m", dev.fiber));
  } else {
    print_fiber(fd, fiber);
    print_card_time(ifname);
    print_driver_tsc(fd);
    print_delays_and_adjustments(ifname, fd, fiber);
  }
  kvel::kvel_dev_close(fd);
}

void print_interface(const char* ifname) {
  printf("\n%s\n", ifname);
  kvel::vlan_name v = kvel::split_vlan_name(ifname);
  kvel::fiber_device dev = kvel::resolve_interface(v.name.c_str());
  if (dev.fiber < 0) {
    field("resolves to", "nothing");
    return;
  }
  field("resolves to", format("%s port %d", dev.dev_path.c_str(), dev.fiber));
  field("VLAN", v.vlan ? format("%d", v.vlan) : "none");
  print_port(ifname, dev);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s IFNAME...\n", argv[0]);
    return 1;
  }
  print_devices();
  for (int i = 1; i < argc; ++i) print_interface(argv[i]);
  printf("\nLibrary\n");
  field("TSC rate", format("%" PRIu64 " Hz", zorvsock_get_tsc_frequency()));
  return 0;
}
