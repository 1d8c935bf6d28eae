#include "zorvudp_v2.h"

#include "kvel_dev.h"
#include "kvel_ioctl.h"

namespace vyx {

void zorvudp_v2::release() {
  if (reg_) kvel::kvel_dev_munmap(const_cast<uint64_t*>(reg_), kvel::KVEL_PAGE_SIZE);
  reg_ = nullptr;
  if (fd_ >= 0) kvel::kvel_dev_close(fd_);
  fd_ = -1;
  ts_log_.release();
  delete itf_;
  itf_ = nullptr;
}

}  // namespace vyx
