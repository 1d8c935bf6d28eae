#include "sim_region.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace zsim {

sim_region::~sim_region() {
  if (base_) munmap(base_, size_);
  if (fd_ >= 0) close(fd_);
}

bool sim_region::create(const char* name, size_t size, bool client_read_only) {
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  size_ = (size + page - 1) / page * page;
  client_read_only_ = client_read_only;
  fd_ = memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd_ < 0 || ftruncate(fd_, off_t(size_)) != 0) return false;
  void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) return false;
  base_ = p;
  // Sealed after the simulator's own mapping, which stays writable.
  int seals =
      F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL | (client_read_only ? F_SEAL_FUTURE_WRITE : 0);
  return fcntl(fd_, F_ADD_SEALS, seals) == 0;
}

uint64_t sim_region::reg(unsigned n) const {
  return __atomic_load_n(static_cast<uint64_t*>(base_) + n, __ATOMIC_RELAXED);
}

void sim_region::set_reg(unsigned n, uint64_t value) const {
  __atomic_store_n(static_cast<uint64_t*>(base_) + n, value, __ATOMIC_RELAXED);
}

}  // namespace zsim
