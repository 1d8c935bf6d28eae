// Shared memory that the simulator hands to its clients: a sealed memfd (its size
// fixed, so no client can shrink it under the simulator) with the simulator's own
// read-write mapping. Regions the clients may only read are sealed against writable
// mappings too.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zsim {

class sim_region {
 public:
  sim_region() = default;
  sim_region(const sim_region&) = delete;
  sim_region& operator=(const sim_region&) = delete;
  ~sim_region();

  // size is rounded up to whole pages. False with errno on failure.
  bool create(const char* name, size_t size, bool client_read_only);
  bool valid() const { return base_ != nullptr; }
  int fd() const { return fd_; }
  size_t size() const { return size_; }
  bool client_read_only() const { return client_read_only_; }
  unsigned char* bytes() const { return static_cast<unsigned char*>(base_); }

  // 64-bit register n of a register page, one atomic access each.
  uint64_t reg(unsigned n) const;
  void set_reg(unsigned n, uint64_t value) const;
  unsigned reg_count() const { return unsigned(size_ / 8); }

 private:
  int fd_ = -1;
  void* base_ = nullptr;
  size_t size_ = 0;
  bool client_read_only_ = false;
};

}  // namespace zsim
