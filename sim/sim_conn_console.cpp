// A descriptor's side of the device's console: allocating it, and the requests of its
// transmit and receive registers.
#include <cerrno>

#include "kvel_ioctl.h"
#include "sim_conn.h"

namespace zsim {

int conn_alloc_console(sim_conn& conn, int block_type) {
  if (block_type != kvel::KVEL_BLOCK_CONSOLE) return EINVAL;
  conn_set_block(conn, BLOCK_CONSOLE);
  conn.dev->console.attach();
  return 0;
}

// A read of the transmit register delivers nothing and consumes nothing.
uint64_t conn_console_read(void* conn, uint32_t offset) {
  return offset == CONSOLE_RECEIVE ? static_cast<sim_conn*>(conn)->dev->console.receive() : 0;
}

// Only the transmit register is written; the receive register ignores writes.
void conn_console_write(void* conn, uint32_t offset, uint64_t value) {
  if (offset == CONSOLE_TRANSMIT) static_cast<sim_conn*>(conn)->dev->console.transmit(value);
}

}  // namespace zsim
