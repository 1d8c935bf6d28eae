#include "sim_card.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "kvel_ioctl.h"
#include "sim_capture.h"
#include "sim_parse.h"
#include "sim_tap.h"

namespace zsim {
namespace {

// Values of the global page: the card's build identity.
constexpr uint64_t BUILD_HASH = 0x5A17C0D;
constexpr uint64_t SYNTHESIS_TIME = 1700000000;  // seconds since the epoch

// Session counts the simulated card advertises per port; TCP and UDP come from the
// device's configuration.
constexpr uint64_t DATA_CHANNELS = 8, ETH_SESSIONS = 1, TAP_SESSIONS = 1;

std::string region_name(const char* what, const std::string& id) {
  return "zorvnic-" + std::string(what) + "-" + id;
}

bool fail(std::string* error, const std::string& what) {
  *error = what + ": " + strerror(errno);
  return false;
}

void fill_fiber_page(const sim_port& port, const device_config& dev) {
  const port_config& c = port.conf;
  const sim_region& page = port.fiber;
  page.set_reg(FIBER_IDENTITY, c.identity);
  page.set_reg(FIBER_NUMBER, uint64_t(c.index));
  page.set_reg(FIBER_SPEED, c.speed);
  page.set_reg(FIBER_MAC_HW, c.mac);
  page.set_reg(FIBER_MAC, c.mac);
  page.set_reg(FIBER_DATA_CH_NB, DATA_CHANNELS);
  page.set_reg(FIBER_ETH_SESSION_NB, ETH_SESSIONS);
  page.set_reg(FIBER_TCP_SESSION_NB, dev.tcp_sessions);
  page.set_reg(FIBER_UDP_SESSION_NB, dev.udp_sessions);
  page.set_reg(FIBER_TAP_SESSION_NB, TAP_SESSIONS);
  page.set_reg(FIBER_TYPE, c.type);
  // The delays are signed numbers in the low 32 bits.
  page.set_reg(FIBER_TX_DELAY, uint32_t(c.tx_delay_ps));
  page.set_reg(FIBER_RX_DELAY, uint32_t(c.rx_delay_ps));
}

bool build_device(const device_config& conf, sim_card* card, std::string* error) {
  auto dev = std::make_unique<sim_device>();
  dev->conf = conf;
  dev->node_path = "/dev/zorvnic_" + conf.id;
  if (!dev->global.create(region_name("global", conf.id).c_str(), kvel::KVEL_PAGE_SIZE, false) ||
      !dev->time.create(region_name("time", conf.id).c_str(), kvel::KVEL_PAGE_SIZE, true))
    return fail(error, "device " + conf.id + " pages");
  dev->global.set_reg(2, BUILD_HASH);
  dev->global.set_reg(3, SYNTHESIS_TIME);
  std::vector<std::string> port_lines;
  for (const port_config& pc : conf.ports)
    port_lines.push_back(std::to_string(pc.index) + " " + pc.ifname + " " + format_mac(pc.mac));
  if (!dev->console.create(conf.id, std::move(port_lines)))
    return fail(error, "device " + conf.id + " console");
  for (const port_config& pc : conf.ports) {
    auto port = std::make_unique<sim_port>();
    port->conf = pc;
    if (!port->fiber.create(region_name("fiber", pc.ifname).c_str(), kvel::KVEL_PAGE_SIZE, false))
      return fail(error, "fiber page of " + pc.ifname);
    fill_fiber_page(*port, conf);
    if (!capture_create(*port, conf.capture_mb)) return fail(error, "capture memory of " + pc.ifname);
    card->ports.push_back(port.get());
    dev->ports.push_back(std::move(port));
  }
  card->devices.push_back(std::move(dev));
  return true;
}

bool open_host_tap(sim_port* port, bool carrier_on, std::string* error) {
  port->host_tap = tap_open(port->conf.tap);
  if (port->host_tap < 0) return fail(error, "TAP " + port->conf.tap);
  if (!tap_set_mac(port->host_tap, port->conf.mac))
    return fail(error, "MAC of TAP " + port->conf.tap);
  if (!tap_set_carrier(port->host_tap, carrier_on))
    return fail(error, "carrier of TAP " + port->conf.tap);
  port->carrier = carrier_on;
  return true;
}

// Wire TAPs and the socket that asks for their state, all in the calling thread's
// namespace.
bool open_wires(sim_card* card, std::string* error) {
  card->wire_query_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (card->wire_query_fd < 0) return fail(error, "wire query socket");
  for (sim_port* port : card->ports) {
    if (port->host_tap < 0 || !port->conf.wire) continue;
    port->wire_name = "wire" + std::to_string(port->conf.k);
    port->wire_tap = tap_open(port->wire_name);
    if (port->wire_tap < 0) return fail(error, "TAP " + port->wire_name);
  }
  return true;
}

}  // namespace

int64_t monotonic_ms() { return monotonic_ns() / 1000000; }

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

sim_port::sim_port() = default;
sim_port::~sim_port() = default;

sim_card::~sim_card() {
  for (sim_port* port : ports) {
    if (port->host_tap >= 0) close(port->host_tap);
    if (port->wire_tap >= 0) close(port->wire_tap);
  }
  if (wire_query_fd >= 0) close(wire_query_fd);
}

sim_device* sim_card::device(const std::string& id) const {
  for (const auto& dev : devices)
    if (dev->conf.id == id) return dev.get();
  return nullptr;
}

bool card_build(const sim_config& config, sim_card* card, std::string* error) {
  for (const device_config& dev : config.devices)
    if (!build_device(dev, card, error)) return false;
  return true;
}

bool card_open_taps(sim_card* card, int wire_netns_fd, bool carrier_on, std::string* error) {
  for (sim_port* port : card->ports)
    if (!port->conf.tap.empty() && !open_host_tap(port, carrier_on, error)) return false;
  if (wire_netns_fd < 0) return open_wires(card, error);
  bool entered = false;
  bool ok = run_in_netns(wire_netns_fd, [&] {
    entered = true;
    return open_wires(card, error);
  });
  if (!entered) return fail(error, "entering the wire namespace");
  return ok;
}

}  // namespace zsim
