#include "console_block.h"

#include <sys/mman.h>

#include <cerrno>
#include <new>

#include "kvel_dev.h"
#include "kvel_ioctl.h"

namespace wrterm {

console_block* open_console(const char* path, int block_type) {
  int fd = kvel::kvel_dev_open(path);
  if (fd < 0) return nullptr;
  auto* block = new (std::nothrow) console_block{fd, nullptr, nullptr};
  if (block && kvel::kvel_dev_ioctl(fd, kvel::KVEL_ALLOC_CONSOLE_BLOCK, &block_type) == 0) {
    void* map = kvel::kvel_dev_mmap(fd, kvel::KVEL_PAGE_SIZE, PROT_READ | PROT_WRITE,
                                    kvel::KVEL_MMAP_BLOCK_REGS);
    if (map != MAP_FAILED) {
      block->map = map;
      block->regs = static_cast<volatile char*>(map) + 8;
      return block;
    }
  }
  int err = block ? errno : ENOMEM;
  delete block;
  kvel::kvel_dev_close(fd);
  errno = err;
  return nullptr;
}

uint64_t console_read(const console_block* block, unsigned index) {
  return kvel::mmio_read64(block->regs, 2 * index);
}

void console_write(console_block* block, unsigned index, uint64_t value) {
  kvel::mmio_write64(block->regs, 2 * index, value);
}

void close_console(console_block* block) {
  kvel::kvel_dev_munmap(block->map, kvel::KVEL_PAGE_SIZE);
  kvel::kvel_dev_close(block->fd);
  delete block;
}

}  // namespace wrterm
