#include "tcp_listen.h"

#include "kvel_dev.h"
#include "kvel_ioctl.h"

namespace vyxtcp {

void tcp_listener::release() {
  if (status_) kvel::kvel_dev_munmap(const_cast<int*>(status_), kvel::KVEL_PAGE_SIZE);
  status_ = nullptr;
  if (fd_ >= 0) kvel::kvel_dev_close(fd_);
  fd_ = -1;
  ifname_.clear();
}

}  // namespace vyxtcp
