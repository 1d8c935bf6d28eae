#include "zorvudp_v2.h"

#include "kvel_dev.h"
#include "kvel_ioctl.h"

namespace vyx {

void zorvudp_v2::release() {
  kvel::kvel_dev_unmap(reg_, kvel::KVEL_PAGE_SIZE);
  reg_ = nullptr;
  kvel::kvel_dev_close_if_open(fd_);
  ts_log_.release();
  delete itf_;
  itf_ = nullptr;
}

}  // namespace vyx
