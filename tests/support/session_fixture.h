// Stand-ins for a hardware session's pages in tests without a card: anonymous mappings
// for the register page, TX window, feedback page and receive ring, a memfd that serves
// as a driver node for the set-up calls, and a payload that ends at an unmapped page.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "session_ref.h"

namespace zt {

// An anonymous read-write mapping, given back at the end of the scope.
struct mapped_region {
  uint8_t* p = nullptr;
  size_t len = 0;

  explicit mapped_region(size_t bytes) : len(bytes) {
    void* m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) abort();
    p = static_cast<uint8_t*>(m);
  }
  ~mapped_region() { munmap(p, len); }
  mapped_region(const mapped_region&) = delete;
  mapped_region& operator=(const mapped_region&) = delete;
};

// The fields of a session that its TX and RX state point at, with a register page.
struct fake_session {
  mapped_region regs{4096};
  int dev_fd = -1;
  volatile uint64_t* reg = reinterpret_cast<volatile uint64_t*>(regs.p);
  uint32_t control = 0;

  kvel::session_ref ref() { return {&dev_fd, &reg, &control}; }
  uint64_t get(size_t offset) const { return reg[offset / 8]; }
  void set(size_t offset, uint64_t value) { reg[offset / 8] = value; }
};

// Two pages followed by an inaccessible one: bytes that end at `end()` are followed by
// a fault, so any read beyond them crashes the test.
struct page_end {
  mapped_region pages{3 * 4096};

  page_end() { mprotect(end(), 4096, PROT_NONE); }
  uint8_t* end() { return pages.p + 2 * 4096; }
};

// An anonymous memory file standing in for a driver node: its regions are file ranges
// at the driver's mapping offsets.
struct memfd_device {
  int fd = -1;

  explicit memfd_device(size_t bytes) {
    fd = memfd_create("zorv-test-device", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(bytes)) != 0) abort();
  }
  ~memfd_device() { close(fd); }
  // A shared mapping of the file's range at offset; the caller unmaps it.
  uint8_t* map(size_t len, off_t offset) const {
    void* m = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (m == MAP_FAILED) abort();
    return static_cast<uint8_t*>(m);
  }
  memfd_device(const memfd_device&) = delete;
  memfd_device& operator=(const memfd_device&) = delete;
};

}  // namespace zt
