#include "session_open.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "diag.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "zorvtime.h"

namespace kvel {

int open_session_device(const char* source, const char* func, const char* dev_path, int fiber,
                        unsigned long alloc_cmd, int* fd) {
  *fd = kvel_dev_open(dev_path);
  if (*fd < 0) {
    diag_print(source, func, __LINE__, "Cannot open device %s\n\n", dev_path);
    return SESSION_OPEN_FAILED;
  }
  init_tsc_hz(*fd);
  int port = fiber;
  return kvel_dev_ioctl(*fd, alloc_cmd, &port) == 0 ? 0 : SESSION_ALLOC_REFUSED;
}

int map_session_regs(const char* source, const char* func, int fd, volatile uint64_t** reg) {
  void* page = kvel_dev_mmap(fd, KVEL_PAGE_SIZE, PROT_READ | PROT_WRITE, KVEL_MMAP_REGS);
  if (page == MAP_FAILED) {
    diag_print(source, func, __LINE__, "Mapping of config failed %s\n", strerror(errno));
    return -1;
  }
  *reg = static_cast<volatile uint64_t*>(page);
  return 0;
}

int open_session_regs(const char* source, const char* dev_path, int fiber,
                      unsigned long alloc_cmd, int* fd, volatile uint64_t** reg) {
  const int rc = open_session_device(source, "init", dev_path, fiber, alloc_cmd, fd);
  if (rc == SESSION_ALLOC_REFUSED)
    diag_print(source, "init", __LINE__, "Allocating session failed (%s)\n", strerror(errno));
  if (rc != 0) return -1;
  return map_session_regs(source, "init", *fd, reg);
}

}  // namespace kvel
