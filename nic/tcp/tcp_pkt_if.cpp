#include "tcp_pkt_if.h"

#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "sys_calls.h"

namespace vyxtcp {

void tcp_hw_session::release() {
  kvel::kvel_dev_unmap(reg_, kvel::KVEL_PAGE_SIZE);
  reg_ = nullptr;
  kvel::kvel_dev_close_if_open(dev_fd_);
  if (pkt_fd_ >= 0) kvel::sys_close(pkt_fd_);
  pkt_fd_ = -1;
  ifname_.clear();
  delete if_info_;
  if_info_ = nullptr;
}

}  // namespace vyxtcp
