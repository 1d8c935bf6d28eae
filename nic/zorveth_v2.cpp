#include "zorveth_v2.h"

#include <cstdio>

#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "session_open.h"
#include "plain_output.h"

namespace vyx {

zorveth_v2::zorveth_v2() {
  tx_pio_.owner_ = {&fd_, &reg_, &control_};
  rx_dma_.owner_ = {&fd_, &reg_, &control_};
}

int zorveth_v2::init_devfd(const char* dev_path, int port) {
  port_ = port;
  return kvel::open_session_device("zorveth_v2", "init_devfd", dev_path, port,
                                   kvel::KVEL_ALLOC_ETH_SESSION, &fd_) == 0 ? 0 : -1;
}

int zorveth_v2::init() {
  if (kvel::map_session_regs("zorveth_v2", "init", fd_, &reg_) != 0) return -1;
  const uint64_t id = kvel::mmio_read64(reg_, kvel::SESSION_REG_IDENTITY);
  if (((id >> 24) & 0xFF) != ETH_SESSION_ID) {
    fprintf(kvel::plain_output(), "kvel: Internal error when enabling L2 session, registers are not L2! "
           "(idreg=%10lX)\n", (unsigned long)id);
    return -1;
  }
  // The ring belongs to the session, not to a handle: no option sizes it.
  const int rc = rx_dma_.setup_rx_ring(kvel::RX_RING_DEFAULT_BYTES);
  if (rc != 0) return rc;
  return tx_pio_.setup_tx_window(ETH_CTRL_TX_ENABLE);
}

void zorveth_v2::release() {
  rx_dma_.unmap();
  tx_pio_.unmap();
  kvel::kvel_dev_unmap(reg_, kvel::KVEL_PAGE_SIZE);
  reg_ = nullptr;
  kvel::kvel_dev_close_if_open(fd_);
  control_ = 0;
}

}  // namespace vyx
