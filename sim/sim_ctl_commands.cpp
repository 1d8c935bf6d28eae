// The control commands: link forcing, counters, register pages and fault injection.
#include <cinttypes>
#include <cstdio>

#include "sim_ctl.h"
#include "sim_capture.h"
#include "sim_link.h"
#include "sim_parse.h"
#include "sim_session.h"

namespace zsim {
namespace {

using words_t = std::vector<std::string>;

constexpr int64_t STALL_PERIOD_MS = 10000;  // how long a "stall" lasts
constexpr uint64_t LONGEST_STALL_MS = 600000;

struct ctl_call {
  sim_card& card;
  const words_t& args;  // the words after the command
  std::string out;

  bool fail(const std::string& why) {
    out = why;
    return false;
  }
  bool done(const std::string& text = "ok") {
    out = text;
    return true;
  }
  bool port(size_t i, sim_port** port) {
    uint64_t k;
    if (!parse_u64(args[i], &k) || k >= card.ports.size()) return fail("no port " + args[i]);
    *port = card.ports[k];
    return true;
  }
  // The page a register command names in its first word, or null after a failure.
  const sim_region* fiber_page() {
    sim_port* p;
    return port(0, &p) ? &p->fiber : nullptr;
  }
  const sim_region* global_page() {
    sim_device* dev = card.device(args[0]);
    if (!dev) fail("no device " + args[0]);
    return dev ? &dev->global : nullptr;
  }
  bool reg(size_t i, const sim_region& page, unsigned* reg) {
    uint64_t n;
    if (!parse_u64(args[i], &n) || n >= page.reg_count()) return fail("bad register " + args[i]);
    *reg = unsigned(n);
    return true;
  }
  // Register values may be given negative, as the two's complement.
  bool value(size_t i, uint64_t* v) {
    int64_t s;
    if (parse_u64(args[i], v)) return true;
    if (!parse_i64(args[i], &s)) return fail("bad value " + args[i]);
    *v = uint64_t(s);
    return true;
  }
  bool page_get(const sim_region* page) {
    unsigned r;
    if (!page || !reg(1, *page, &r)) return false;
    char text[32];
    snprintf(text, sizeof text, "0x%016" PRIx64, page->reg(r));
    return done(text);
  }
  bool page_set(const sim_region* page) {
    unsigned r;
    uint64_t v;
    if (!page || !reg(1, *page, &r) || !value(2, &v)) return false;
    page->set_reg(r, v);
    return done();
  }
};

bool ping(ctl_call& c) { return c.done(); }

bool ports(ctl_call& c) {
  std::string text;
  for (const auto& dev : c.card.devices)
    for (const auto& p : dev->ports) {
      const port_config& conf = p->conf;
      text += std::to_string(conf.k) + " " + dev->conf.id + " " + std::to_string(conf.index) + " " +
              conf.ifname + " " + (p->host_tap >= 0 ? conf.tap : "-") + " " +
              (p->wire_tap >= 0 ? p->wire_name : "-") + " " + format_mac(conf.mac) + "\n";
    }
  if (!text.empty()) text.pop_back();
  return c.done(text);
}

bool link(ctl_call& c) {
  sim_port* port;
  if (!c.port(0, &port)) return false;
  const std::string& mode = c.args[1];
  if (mode == "up")
    port->link_mode = LINK_FORCED_UP;
  else if (mode == "down")
    port->link_mode = LINK_FORCED_DOWN;
  else if (mode == "auto")
    port->link_mode = LINK_AUTO;
  else
    return c.fail("link mode must be up, down or auto");
  link_update(c.card, *port);  // in force when the command returns
  return c.done();
}

std::string port_counter_lines(const sim_port& port, const std::string& prefix) {
  using counter = std::atomic<uint64_t> port_counters::*;
  static const std::pair<const char*, counter> COUNTERS[] = {
      {"to_wire_frames", &port_counters::to_wire_frames},
      {"to_wire_bytes", &port_counters::to_wire_bytes},
      {"from_wire_frames", &port_counters::from_wire_frames},
      {"from_wire_bytes", &port_counters::from_wire_bytes},
      {"to_host_frames", &port_counters::to_host_frames},
      {"drop_link_down", &port_counters::drop_link_down},
      {"drop_no_carrier", &port_counters::drop_no_carrier},
      {"drop_no_wire", &port_counters::drop_no_wire},
      {"drop_write_error", &port_counters::drop_write_error},
      {"udp_tx_frames", &port_counters::udp_tx_frames},
      {"udp_tx_bytes", &port_counters::udp_tx_bytes},
      {"udp_tx_bad_desc", &port_counters::udp_tx_bad_desc},
      {"udp_rx_delivered", &port_counters::udp_rx_delivered},
      {"udp_rx_drop_ring_full", &port_counters::udp_rx_drop_ring_full},
      {"udp_rx_drop_checksum", &port_counters::udp_rx_drop_checksum},
      {"udp_rx_drop_zero_length", &port_counters::udp_rx_drop_zero_length},
      {"udp_rx_drop_too_long", &port_counters::udp_rx_drop_too_long},
      {"udp_rx_drop_stopped", &port_counters::udp_rx_drop_stopped},
      {"udp_rx_filter_miss", &port_counters::udp_rx_filter_miss},
      {"tcp_tx_frames", &port_counters::tcp_tx_frames},
      {"tcp_tx_bytes", &port_counters::tcp_tx_bytes},
      {"tcp_tx_bad_desc", &port_counters::tcp_tx_bad_desc},
      {"tcp_tx_doorbell_acks", &port_counters::tcp_tx_doorbell_acks},
      {"tcp_tx_resets", &port_counters::tcp_tx_resets},
      {"tcp_tx_retransmits", &port_counters::tcp_tx_retransmits},
      {"tcp_tx_fast_retransmits", &port_counters::tcp_tx_fast_retransmits},
      {"tcp_tx_window_probes", &port_counters::tcp_tx_window_probes},
      {"tcp_reset_requests", &port_counters::tcp_reset_requests},
      {"tcp_rx_delivered", &port_counters::tcp_rx_delivered},
      {"tcp_rx_software", &port_counters::tcp_rx_software},
      {"tcp_rx_txack_only", &port_counters::tcp_rx_txack_only},
      {"tcp_rx_drop_ring_full", &port_counters::tcp_rx_drop_ring_full},
      {"tcp_rx_drop_checksum", &port_counters::tcp_rx_drop_checksum},
      {"tcp_rx_drop_too_long", &port_counters::tcp_rx_drop_too_long},
      {"tcp_rx_drop_stopped", &port_counters::tcp_rx_drop_stopped},
      {"tcp_listen_queued", &port_counters::tcp_listen_queued},
      {"tcp_listen_duplicates", &port_counters::tcp_listen_duplicates},
      {"tcp_listen_drop_full", &port_counters::tcp_listen_drop_full},
      {"tcp_listen_drop_checksum", &port_counters::tcp_listen_drop_checksum},
      {"impair_dropped", &port_counters::impair_dropped},
      {"impair_duplicated", &port_counters::impair_duplicated},
      {"impair_reordered", &port_counters::impair_reordered},
  };
  std::string text = prefix + "link " + std::to_string(port.link_up.load()) + "\n" + prefix +
                     "carrier " + std::to_string(port.carrier.load()) + "\n" + prefix + "kernel_eth " +
                     std::to_string(port.eth.kernel_eth.load()) + "\n";
  for (const auto& [name, member] : COUNTERS)
    text += prefix + name + " " + std::to_string((port.counters.*member).load()) + "\n";
  char addr[96];
  snprintf(addr, sizeof addr, "%stime_mac 0x%012" PRIx64 "\n%stime_ip 0x%08" PRIx32 "\n",
           prefix.c_str(), port.time_mac.load(), prefix.c_str(), port.time_ip.load());
  return text + addr;
}

// "udp<n>.<counter> <value>" for each UDP session of the port, n its number there, and
// "tcp<n>.<counter> <value>" for each TCP session ("eth<n>." for an Ethernet session).
std::string session_counter_lines(sim_card& card, const sim_port& port, const std::string& prefix) {
  using counter = std::atomic<uint64_t> session_counters::*;
  static const std::pair<const char*, counter> COUNTERS[] = {
      {"tx_frames", &session_counters::tx_frames},
      {"tx_bytes", &session_counters::tx_bytes},
      {"tx_bad_desc", &session_counters::tx_bad_desc},
      {"rx_delivered", &session_counters::rx_delivered},
      {"rx_drop_ring_full", &session_counters::rx_drop_ring_full},
      {"rx_drop_checksum", &session_counters::rx_drop_checksum},
      {"rx_drop_zero_length", &session_counters::rx_drop_zero_length},
      {"rx_drop_too_long", &session_counters::rx_drop_too_long},
      {"rx_drop_stopped", &session_counters::rx_drop_stopped},
  };
  static const std::pair<const char*, counter> TCP_COUNTERS[] = {
      {"rx_software", &session_counters::rx_software},
      {"rx_txack_only", &session_counters::rx_txack_only},
      {"tx_doorbell_acks", &session_counters::tx_doorbell_acks},
      {"tx_resets", &session_counters::tx_resets},
      {"tx_retransmits", &session_counters::tx_retransmits},
      {"tx_fast_retransmits", &session_counters::tx_fast_retransmits},
      {"tx_window_probes", &session_counters::tx_window_probes},
      {"reset_requests", &session_counters::reset_requests},
  };
  std::string text;
  std::lock_guard<std::mutex> lock(card.sessions.mutex);
  for (const sim_session* s : card.sessions.sessions) {
    if (s->wire != &port) continue;
    bool tcp = s->kind == SESSION_TCP;
    const char* kind = tcp ? "tcp" : s->kind == SESSION_ETH ? "eth" : "udp";
    std::string name = prefix + kind + std::to_string(s->slot) + ".";
    for (const auto& [what, member] : COUNTERS)
      text += name + what + " " + std::to_string((s->counters.*member).load()) + "\n";
    for (const auto& [what, member] : TCP_COUNTERS)
      if (tcp) text += name + what + " " + std::to_string((s->counters.*member).load()) + "\n";
  }
  return text;
}

std::string all_counter_lines(sim_card& card, const sim_port& port, const std::string& prefix) {
  return port_counter_lines(port, prefix) + session_counter_lines(card, port, prefix);
}

bool counters(ctl_call& c) {
  std::string text;
  if (!c.args.empty()) {
    sim_port* port;
    if (!c.port(0, &port)) return false;
    text = all_counter_lines(c.card, *port, "");
  } else {
    for (const sim_port* port : c.card.ports)
      text += all_counter_lines(c.card, *port, "port" + std::to_string(port->conf.k) + ".");
  }
  if (!text.empty()) text.pop_back();
  return c.done(text);
}

bool fiber_get(ctl_call& c) { return c.page_get(c.fiber_page()); }
bool fiber_set(ctl_call& c) { return c.page_set(c.fiber_page()); }
bool global_get(ctl_call& c) { return c.page_get(c.global_page()); }
bool global_set(ctl_call& c) { return c.page_set(c.global_page()); }

bool stall(ctl_call& c) {
  uint64_t ms;
  if (!parse_u64(c.args[0], &ms) || ms > LONGEST_STALL_MS)
    return c.fail("bad stall time " + c.args[0]);
  c.card.stall_ms = int64_t(ms);
  c.card.stall_until_ms = ms ? monotonic_ms() + STALL_PERIOD_MS : 0;
  return c.done();
}

// "impair K": both directions' settings; "impair K DIR off|SETTINGS...": one direction's.
bool impair(ctl_call& c) {
  sim_port* port;
  if (!c.port(0, &port)) return false;
  if (c.args.size() == 1)
    return c.done("tx " + impair_format(port->impair_tx.get()) + "\nrx " +
                  impair_format(port->impair_rx.get()));
  const std::string& dir = c.args[1];
  if (dir != "tx" && dir != "rx") return c.fail("direction must be tx or rx");
  impair_settings settings;
  std::string error;
  if (!impair_parse(words_t(c.args.begin() + 2, c.args.end()), &settings, &error))
    return c.fail(error);
  (dir == "tx" ? port->impair_tx : port->impair_rx).set(settings);
  return c.done();
}

bool eth_fault(ctl_call& c) {
  sim_port* port;
  int fault;
  if (!c.port(0, &port)) return false;
  if (!eth_fault_parse(c.args[1], &fault))
    return c.fail("fault must be none, alloc, identity, kernel-eth or carrier");
  port->eth.fault = fault;
  return c.done();
}

bool capture(ctl_call& c) { return capture_ctl(c.card, c.args, &c.out); }

bool console(ctl_call& c) {
  sim_device* dev = c.card.device(c.args[0]);
  if (!dev) return c.fail("no device " + c.args[0]);
  return console_command(dev->console, words_t(c.args.begin() + 1, c.args.end()), &c.out);
}

bool help(ctl_call& c);

struct ctl_command {
  const char* name;
  size_t min_args, max_args;
  const char* usage;
  bool (*run)(ctl_call&);
};

constexpr ctl_command COMMANDS[] = {
    {"ping", 0, 0, "ping", ping},
    {"ports", 0, 0, "ports", ports},
    {"link", 2, 2, "link <k> up|down|auto", link},
    {"counters", 0, 1, "counters [<k>]", counters},
    {"fiber-get", 2, 2, "fiber-get <k> <reg>", fiber_get},
    {"fiber-set", 3, 3, "fiber-set <k> <reg> <val>", fiber_set},
    {"global-get", 2, 2, "global-get <devid> <reg>", global_get},
    {"global-set", 3, 3, "global-set <devid> <reg> <val>", global_set},
    {"stall", 1, 1, "stall <ms>", stall},
    {"impair", 1, 6,
     "impair <k> [tx|rx off | tx|rx [loss=P] [dup=P] [reorder=P] [seed=N]] (P in percent)",
     impair},
    {"eth-fault", 2, 2, "eth-fault <k> none|alloc|identity|kernel-eth|carrier", eth_fault},
    {"capture", 1, 5, CAPTURE_CTL_USAGE, capture},
    {"console", 2, 64, "console <devid> typed|clear|feed <text>|busy on|off|stream on|off",
     console},
    {"help", 0, 0, "help", help},
};

bool help(ctl_call& c) {
  std::string text;
  for (const ctl_command& cmd : COMMANDS) text += std::string(cmd.usage) + "\n";
  text.pop_back();
  return c.done(text);
}

}  // namespace

ctl_reply ctl_execute(sim_card& card, const words_t& words) {
  if (words.empty()) return {false, "no command"};
  for (const ctl_command& cmd : COMMANDS) {
    if (words[0] != cmd.name) continue;
    words_t args(words.begin() + 1, words.end());
    if (args.size() < cmd.min_args || args.size() > cmd.max_args)
      return {false, std::string("usage: ") + cmd.usage};
    ctl_call call{card, args, {}};
    bool ok = cmd.run(call);
    return {ok, call.out};
  }
  return {false, "unknown command " + words[0]};
}

}  // namespace zsim
