// One simulator connection, standing for one open descriptor of the card's driver:
// what it allocated (session, last block), its own regions, and the mappings whose
// side-effect registers it serves by request. Everything is released with it.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "kvel_sim_proto.h"
#include "sim_card.h"
#include "sim_listen.h"
#include "sim_session.h"
#include "sim_session_page.h"

namespace zsim {

enum block_kind { BLOCK_NONE, BLOCK_GLOBAL, BLOCK_TIME, BLOCK_CAPTURE, BLOCK_CONSOLE };

// Registers of a page whose reads or writes have side effects, or whose every write is
// an event; side-effect accesses reach the owner through register requests instead of
// shared memory, write events through the page's event queue (sim_doorbell.h).
struct side_effect_regs {
  std::vector<uint32_t> offsets;  // as the mmap reply lists them (SIM_REG_WRITE_EVENT)
  uint64_t (*read)(void* owner, uint32_t offset);  // null: no register here is read
  void (*write)(void* owner, uint32_t offset, uint64_t value);  // null: none is written
  void* owner;
};

// The console page: its transmit and receive registers (sim_conn_console.cpp).
uint64_t conn_console_read(void* conn, uint32_t offset);
void conn_console_write(void* conn, uint32_t offset, uint64_t value);

struct sim_conn {
  int fd = -1;
  sim_card* card = nullptr;
  sim_device* dev = nullptr;
  int last_fiber = -1;  // port index of the last KVEL_GET_FIBER
  block_kind block = BLOCK_NONE;
  int capture_port = -1;  // port index of the last KVEL_ALLOC_DUMP_BLOCK
  std::unique_ptr<sim_session> session;
  std::unique_ptr<sim_region> listen_status;
  std::unique_ptr<sim_listener> listener;
  std::unique_ptr<sim_region> dump_dma;
  uint64_t next_token = 1;
  std::map<uint64_t, const side_effect_regs*> tokens;  // mappings with side-effect registers
  const side_effect_regs tcp_regs{
      {uint32_t(REG_ACK_DOORBELL) | kvel::SIM_REG_WRITE_EVENT}, nullptr, nullptr, this};
  const side_effect_regs console_regs{
      {CONSOLE_TRANSMIT, CONSOLE_RECEIVE}, conn_console_read, conn_console_write, this};

  ~sim_conn();
};

// The descriptor's last allocated block becomes kind.
void conn_set_block(sim_conn& conn, block_kind kind);

// The outcome of one request, as it goes back in the reply.
struct sim_outcome {
  int64_t result = 0;
  int err = 0;
  uint64_t value = 0;
  int pass_fds[kvel::SIM_MAX_PASSED_FDS];  // descriptors to pass (still owned by their regions)
  int pass_count = 0;
  uint32_t len = 0;
  unsigned char data[kvel::SIM_MAX_DATA];

  void fail(int e) {
    result = -1;
    err = e;
    len = 0;
    pass_count = 0;
  }
};

// The port a descriptor's port-wide requests mean: its session's, else that of its
// last KVEL_GET_FIBER, else port 0. Null when the device has no ports.
sim_port* conn_port(const sim_conn& conn);

void conn_ioctl(sim_conn& conn, uint64_t cmd, const unsigned char* in, uint32_t in_len,
                sim_outcome* out);
void conn_mmap(sim_conn& conn, uint64_t offset, uint64_t len, uint64_t prot, sim_outcome* out);
void conn_read(sim_conn& conn, uint64_t count, sim_outcome* out);
// The descriptor's session (sim_conn_session.cpp). Each gives 0 or an errno value.
int conn_alloc_session(sim_conn& conn, char kind, int port_index);
int conn_set_udp_filter(sim_conn& conn, const unsigned char* arg);
// Binds a TCP session to its connection (KVEL_TCP_SESSION_SETUP); once only.
int conn_tcp_setup(sim_conn& conn, const unsigned char* arg);
// Whether the release resets the connection, and the TTL of that reset.
int conn_tcp_rst_on_release(sim_conn& conn, bool on);
int conn_tcp_rst_ttl(sim_conn& conn, uint8_t ttl);
// Registers the descriptor as a listener (KVEL_TCP_LISTEN; sim_conn_listen.cpp).
int conn_tcp_listen(sim_conn& conn, const unsigned char* arg);
// Allocates the device's console as the descriptor's block (KVEL_ALLOC_CONSOLE_BLOCK).
int conn_alloc_console(sim_conn& conn, int block_type);
// The session's region for an mmap at offset, or null with *err.
sim_region* conn_map_session(sim_conn& conn, uint64_t offset, uint64_t len, int* err);
// Stops the datapath's work on the session and gives it back.
void conn_release_session(sim_conn& conn);
void conn_release_listener(sim_conn& conn);
// A region of the descriptor's own, made at its first use; null when memory runs out.
sim_region* conn_own_region(std::unique_ptr<sim_region>& slot, const char* name, size_t size);

void conn_reg_access(sim_conn& conn, uint32_t op, uint64_t token, uint64_t offset, uint64_t value,
                     sim_outcome* out);

}  // namespace zsim
