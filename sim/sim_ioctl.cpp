// The driver commands of a descriptor. Argument sizes come from the command's own
// encoding and are checked before any byte of the argument is looked at.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kvel_ioctl.h"
#include "sim_capture.h"
#include "sim_clock.h"
#include "sim_conn.h"
#include "sim_tap.h"

namespace zsim {
namespace {

using namespace kvel;

struct ioctl_call {
  sim_conn& conn;
  const unsigned char* in;
  sim_outcome* out;

  int in_int() const {
    int v;
    memcpy(&v, in, sizeof v);
    return v;
  }
  void out_int(int v) const { memcpy(out->data, &v, sizeof v); }
  sim_port* port_at(int index) const {
    auto& ports = conn.dev->ports;
    return index >= 0 && size_t(index) < ports.size() ? ports[size_t(index)].get() : nullptr;
  }
};

void dev_probe(ioctl_call& c) {
  if (c.conn.dev->ports.empty()) c.out->fail(ENODEV);
}

void dev_port_name(ioctl_call& c) {
  sim_port* port = c.port_at(c.in_int());
  if (!port) return c.out->fail(EINVAL);
  const std::string& name = port->conf.ifname;
  memset(c.out->data, 0, c.out->len);
  memcpy(c.out->data, name.data(), std::min(name.size(), size_t(c.out->len) - 1));
}

void enable_kernel_eth(ioctl_call& c) {
  if (int err = conn_enable_kernel_eth(c.conn)) c.out->fail(err);
}

void set_carrier(ioctl_call& c, bool on) {
  sim_port* port = conn_port(c.conn);
  if (!port || port->host_tap < 0) return c.out->fail(ENODEV);
  if (int err = eth_carrier_fault(*port)) return c.out->fail(err);
  if (!tap_set_carrier(port->host_tap, on)) return c.out->fail(errno);
  port->carrier = on;
}
void carrier_on(ioctl_call& c) { set_carrier(c, true); }
void carrier_off(ioctl_call& c) { set_carrier(c, false); }

void tsc_khz(ioctl_call& c) {
  if (c.conn.dev->conf.tsc_khz == 0) return c.out->fail(EOPNOTSUPP);
  c.out_int(int(c.conn.dev->conf.tsc_khz));
}

void get_global_block(ioctl_call& c) {
  if (c.in_int() != KVEL_BLOCK_GLOBAL) return c.out->fail(EINVAL);
  conn_set_block(c.conn, BLOCK_GLOBAL);
}

void alloc_block(ioctl_call& c) {
  if (c.in_int() != KVEL_BLOCK_TIME) return c.out->fail(EINVAL);
  conn_set_block(c.conn, BLOCK_TIME);
  // The clock thread may still be in its idle pause: the first read must be current.
  c.conn.dev->time.set_reg(TIME_REG_NOW, card_time_now());
}

// {six MAC bytes, two reserved, u32 IPv4}, for the port of the card's time module.
void set_time_addr(ioctl_call& c) {
  sim_port* port = conn_port(c.conn);
  if (!port || port->conf.type != FIBER_TYPE_TIME) return c.out->fail(EINVAL);
  uint64_t mac = 0;
  for (int i = 0; i < 6; ++i) mac = mac << 8 | c.in[i];
  uint32_t ip;
  memcpy(&ip, c.in + 8, sizeof ip);
  port->time_mac = mac;
  port->time_ip = ip;
}

void alloc_console_block(ioctl_call& c) {
  if (int err = conn_alloc_console(c.conn, c.in_int())) c.out->fail(err);
}

void get_fiber(ioctl_call& c) {
  int index = c.in_int();
  if (!c.port_at(index)) return c.out->fail(EINVAL);
  c.conn.last_fiber = index;
  c.out_int(index);  // a port's fiber number is its index
}

void alloc_udp_session(ioctl_call& c) {
  if (int err = conn_alloc_session(c.conn, SESSION_UDP, c.in_int())) c.out->fail(err);
}

void alloc_eth_session(ioctl_call& c) {
  if (int err = conn_alloc_eth_session(c.conn, c.in_int())) c.out->fail(err);
}

void alloc_tcp_session(ioctl_call& c) {
  if (int err = conn_alloc_session(c.conn, SESSION_TCP, c.in_int())) c.out->fail(err);
}

void tcp_session_setup(ioctl_call& c) {
  if (int err = conn_tcp_setup(c.conn, c.in)) c.out->fail(err);
}

void tcp_listen(ioctl_call& c) {
  if (int err = conn_tcp_listen(c.conn, c.in)) c.out->fail(err);
}

void tcp_rst_on_release(ioctl_call& c) {
  if (int err = conn_tcp_rst_on_release(c.conn, c.in_int() != 0)) c.out->fail(err);
}

void tcp_rst_ttl(ioctl_call& c) {
  if (int err = conn_tcp_rst_ttl(c.conn, c.in[0])) c.out->fail(err);
}

void udp_rx_filter(ioctl_call& c) {
  if (int err = conn_set_udp_filter(c.conn, c.in)) c.out->fail(err);
}

// {u32 port index, u32 block type}: the port's capture block becomes the descriptor's.
void alloc_dump_block(ioctl_call& c) {
  uint32_t arg[2];
  memcpy(arg, c.in, sizeof arg);
  if (arg[1] != uint32_t(KVEL_BLOCK_DUMP) || !c.port_at(int(arg[0] & 0xFF)))
    return c.out->fail(EINVAL);
  c.conn.capture_port = int(arg[0] & 0xFF);
  conn_set_block(c.conn, BLOCK_CAPTURE);
}

// {u64 card address, u32 size, u32 0}: card memory into the descriptor's DMA buffer.
void dump_dma(ioctl_call& c) {
  uint64_t start;
  uint32_t size;
  memcpy(&start, c.in, sizeof start);
  memcpy(&size, c.in + 8, sizeof size);
  sim_region* buf = conn_own_region(c.conn.dump_dma, "zorvnic-dump-dma", KVEL_DUMP_DMA_SIZE);
  if (!buf) return c.out->fail(ENOMEM);
  if (int err = capture_dma(*c.conn.dev, start, size, buf->bytes())) c.out->fail(err);
}

struct command {
  unsigned long cmd;
  void (*run)(ioctl_call&);
};

constexpr command COMMANDS[] = {
    {KVEL_DEV_PROBE, dev_probe},
    {KVEL_DEV_PORT_NAME, dev_port_name},
    {KVEL_DEV_ENABLE_KERNEL_ETH, enable_kernel_eth},
    {KVEL_ETH_CARRIER_ON, carrier_on},
    {KVEL_ETH_CARRIER_OFF, carrier_off},
    {KVEL_TSC_KHZ, tsc_khz},
    {KVEL_GET_GLOBAL_BLOCK, get_global_block},
    {KVEL_ALLOC_BLOCK, alloc_block},
    {KVEL_SET_TIME_ADDR, set_time_addr},
    {KVEL_ALLOC_CONSOLE_BLOCK, alloc_console_block},
    {KVEL_GET_FIBER, get_fiber},
    {KVEL_ALLOC_UDP_SESSION, alloc_udp_session},
    {KVEL_UDP_RX_FILTER, udp_rx_filter},
    {KVEL_ALLOC_ETH_SESSION, alloc_eth_session},
    {KVEL_ALLOC_TCP_SESSION, alloc_tcp_session},
    {KVEL_TCP_SESSION_SETUP, tcp_session_setup},
    {KVEL_TCP_LISTEN, tcp_listen},
    {KVEL_TCP_TRIGGER_RST_ON_RELEASE, tcp_rst_on_release},
    {KVEL_TCP_TTL_RST_ON_RELEASE, tcp_rst_ttl},
    {KVEL_ALLOC_DUMP_BLOCK, alloc_dump_block},
    {KVEL_DUMP_DMA, dump_dma},
};

}  // namespace

void conn_ioctl(sim_conn& conn, uint64_t cmd, const unsigned char* in, uint32_t in_len,
                sim_outcome* out) {
  const command* c = std::find_if(std::begin(COMMANDS), std::end(COMMANDS),
                                  [&](const command& k) { return k.cmd == cmd; });
  if (c == std::end(COMMANDS)) return out->fail(ENOTTY);
  unsigned dir = ioc_dir(cmd);
  unsigned size = ioc_size(cmd);
  if (in_len != (dir & IOC_DIR_WRITE ? size : 0)) return out->fail(EINVAL);
  out->result = 0;
  out->len = dir & IOC_DIR_READ ? size : 0;
  memset(out->data, 0, out->len);
  if (out->len && in_len) memcpy(out->data, in, size);
  ioctl_call call{conn, in, out};
  c->run(call);
}

}  // namespace zsim
