#include "kvel_mmio_registry.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "kvel_sim_proto.h"

namespace kvel {

std::atomic<int> mmio_side_effect_maps{0};

namespace {

struct registered_map {
  uintptr_t base;
  size_t len;
  int fd;
  uint64_t token;
  std::vector<uint32_t> offsets;  // as listed, with SIM_REG_WRITE_EVENT
};

std::mutex registry_mutex;
std::vector<registered_map> registry;

void publish_count() {
  mmio_side_effect_maps.store(int(registry.size()), std::memory_order_release);
}

}  // namespace

void mmio_register(const void* base, size_t len, int fd, uint64_t token, const uint32_t* offsets,
                   uint32_t count) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  registry.push_back({reinterpret_cast<uintptr_t>(base), len, fd, token,
                      std::vector<uint32_t>(offsets, offsets + count)});
  publish_count();
}

void mmio_unregister(const void* addr, size_t len) {
  uintptr_t lo = reinterpret_cast<uintptr_t>(addr);
  std::lock_guard<std::mutex> lock(registry_mutex);
  std::erase_if(registry,
                [&](const registered_map& m) { return m.base >= lo && m.base - lo < len; });
  publish_count();
}

void mmio_forget_fd(int fd) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  for (registered_map& m : registry)
    if (m.fd == fd) m.fd = -1;
}

bool mmio_side_effect_lookup(const volatile void* addr, side_effect_reg* reg) {
  uintptr_t a = reinterpret_cast<uintptr_t>(addr);
  std::lock_guard<std::mutex> lock(registry_mutex);
  for (const registered_map& m : registry) {
    if (a < m.base || a - m.base >= m.len) continue;
    uint64_t off = a - m.base;
    auto listed = std::find_if(m.offsets.begin(), m.offsets.end(),
                               [off](uint32_t o) { return (o & ~SIM_REG_WRITE_EVENT) == off; });
    if (listed == m.offsets.end()) return false;
    *reg = {m.fd, m.token, off, (*listed & SIM_REG_WRITE_EVENT) != 0};
    return true;
  }
  return false;
}

}  // namespace kvel
