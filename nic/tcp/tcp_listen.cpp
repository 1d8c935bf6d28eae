#include "tcp_listen.h"

#include "kvel_dev.h"
#include "kvel_ioctl.h"

namespace vyxtcp {

void tcp_listener::release() {
  kvel::kvel_dev_unmap(status_, kvel::KVEL_PAGE_SIZE);
  status_ = nullptr;
  kvel::kvel_dev_close_if_open(fd_);
  ifname_.clear();
}

}  // namespace vyxtcp
