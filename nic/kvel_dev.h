// Device-access layer: the only code that touches a device node of the card's driver.
//
// A node that is a character device is the real driver and gets the plain system
// calls. A node that is a Unix socket is the card simulator: each call becomes one
// request and one reply on a SOCK_SEQPACKET connection, and that connection is the
// descriptor. Socket I/O here uses direct system calls so that a preloaded socket
// interposer never sees these descriptors.
//
// All functions follow the system-call convention: -1 (MAP_FAILED for mmap) with
// errno set on failure. A simulator that does not answer within kvel_dev_timeout_ms
// fails the call with ETIMEDOUT; one that has gone away fails it with ENODEV.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace kvel {

constexpr int kvel_dev_timeout_ms = 5000;

// O_CLOEXEC is applied when cloexec is set (the driver's nodes are opened
// read-write; the simulator's connection is always close-on-exec).
int kvel_dev_open(const char* path, bool cloexec = true);
int kvel_dev_ioctl(int fd, unsigned long cmd, void* arg);
// offset is one of the KVEL_MMAP_* region selectors.
void* kvel_dev_mmap(int fd, size_t len, int prot, long offset);
int kvel_dev_munmap(void* addr, size_t len);
// Fills a region mapped by kvel_dev_mmap with zeros. The simulator's memory is given back
// instead of written, which reads as zeros without making every page of the region
// resident (a card's memory is resident anyway).
void kvel_dev_zero(int fd, void* addr, size_t len);
ssize_t kvel_dev_read(int fd, void* buf, size_t count);
int kvel_dev_close(int fd);

// Release helpers for set-up that may have stopped half way: each does nothing when
// there is nothing to give back.
inline void kvel_dev_unmap(const volatile void* addr, size_t len) {
  if (addr) kvel_dev_munmap(const_cast<void*>(addr), len);
}
inline void kvel_dev_close_if_open(int& fd) {
  if (fd >= 0) kvel_dev_close(fd);
  fd = -1;
}

// 64-bit register access on a mapped register page. On the simulator some
// registers have side effects (console receive and transmit, capture rd_ack): the
// accessors turn accesses to those into a synchronous request. Others are write-only
// and every write is an event (the TCP ACK doorbell): each write becomes a message
// without a reply, sent in order; a read sees plain memory. Every other register is
// plain volatile memory, as is every register of a real driver's page.
uint64_t mmio_read64(const volatile void* page, size_t byte_offset);
void mmio_write64(volatile void* page, size_t byte_offset, uint64_t value);

}  // namespace kvel
