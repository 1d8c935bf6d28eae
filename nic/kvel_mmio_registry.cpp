#include "kvel_mmio_registry.h"

#include <sys/mman.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "kvel_sim_proto.h"
#include "sys_calls.h"

namespace kvel {

std::atomic<int> mmio_side_effect_maps{0};

namespace {

// The accessors' index: open addressing by register address, each register within
// PROBES entries of its home, so that a look-up (also of an address that is not listed,
// as most are) reads a few adjacent entries and nothing else.
constexpr size_t INDEX_SIZE = 16384;  // a power of two
constexpr size_t PROBES = 16;
constexpr uintptr_t FREE = 0, FORGOTTEN = 1;

side_effect_reg reg_index[INDEX_SIZE];

struct registered_map {
  uintptr_t base;
  size_t len;
  int fd;
  std::vector<side_effect_reg*> regs;  // its entries in the index
  sim_event_queue* queue;
  size_t queue_len;
  int wake_fd;
};

std::mutex registry_mutex;
std::vector<registered_map> registry;  // under registry_mutex

// The simulator passes its card's wake eventfd with every mapping that has write-event
// registers. A card costs a program no descriptor per session, so the simulator may not
// either (a program with thousands of connections would meet its descriptor limit
// early): the mappings of one card share the first such descriptor, closed with the
// last of them.
struct shared_wake {
  std::string card;
  int fd;
  int users;
};
std::vector<shared_wake> wakes;  // under registry_mutex

int share_wake(const std::string& card, int fd) {
  for (shared_wake& w : wakes) {
    if (w.card != card) continue;
    sys_close(fd);
    ++w.users;
    return w.fd;
  }
  wakes.push_back({card, fd, 1});
  return fd;
}

void unshare_wake(int fd) {
  auto w = std::find_if(wakes.begin(), wakes.end(),
                        [fd](const shared_wake& x) { return x.fd == fd; });
  if (w == wakes.end() || --w->users > 0) return;
  sys_close(fd);
  wakes.erase(w);
}

size_t home(uintptr_t addr) { return size_t((addr >> 3) * 0x9E3779B97F4A7C15ull >> 50); }
static_assert(INDEX_SIZE == size_t(1) << 14, "home() gives 14 bits");

side_effect_reg& probe(uintptr_t addr, size_t i) { return reg_index[(home(addr) + i) % INDEX_SIZE]; }

side_effect_reg* free_entry(uintptr_t addr) {
  for (size_t i = 0; i < PROBES; ++i) {
    side_effect_reg& e = probe(addr, i);
    if (e.addr.load(std::memory_order_relaxed) <= FORGOTTEN) return &e;
  }
  return nullptr;
}

void release(registered_map& m) {
  for (side_effect_reg* e : m.regs) e->addr.store(FORGOTTEN, std::memory_order_release);
  if (m.queue) munmap(m.queue, m.queue_len);
  if (m.wake_fd >= 0) unshare_wake(m.wake_fd);
}

void publish_count() {
  mmio_side_effect_maps.store(int(registry.size()), std::memory_order_release);
}

}  // namespace

bool mmio_register(const void* base, size_t len, int fd, uint64_t token, const uint32_t* offsets,
                   uint32_t count, sim_event_queue* queue, size_t queue_len, int wake_fd,
                   const std::string& wake_card) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  // A card that cannot be named keeps a descriptor of its own.
  if (wake_fd >= 0)
    wake_fd = share_wake(wake_card.empty() ? "#" + std::to_string(wake_fd) : wake_card, wake_fd);
  registered_map m{reinterpret_cast<uintptr_t>(base), len, fd, {}, queue, queue_len, wake_fd};
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t offset = offsets[i] & ~SIM_REG_WRITE_EVENT;
    uintptr_t addr = m.base + offset;
    side_effect_reg* e = free_entry(addr);
    if (!e) {
      release(m);
      return false;
    }
    e->fd.store(fd, std::memory_order_relaxed);
    e->token = token;
    e->offset = offset;
    e->write_event = (offsets[i] & SIM_REG_WRITE_EVENT) != 0;
    e->queue = queue;
    e->wake_fd = wake_fd;
    e->addr.store(addr, std::memory_order_release);
    m.regs.push_back(e);
  }
  registry.push_back(std::move(m));
  publish_count();
  return true;
}

void mmio_unregister(const void* addr, size_t len) {
  uintptr_t lo = reinterpret_cast<uintptr_t>(addr);
  std::lock_guard<std::mutex> lock(registry_mutex);
  std::erase_if(registry, [&](registered_map& m) {
    if (m.base < lo || m.base - lo >= len) return false;
    release(m);
    return true;
  });
  publish_count();
}

void mmio_forget_fd(int fd) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  for (registered_map& m : registry) {
    if (m.fd != fd) continue;
    m.fd = -1;
    for (side_effect_reg* e : m.regs) e->fd.store(-1, std::memory_order_relaxed);
  }
}

const side_effect_reg* mmio_side_effect_lookup(const volatile void* addr) {
  uintptr_t a = reinterpret_cast<uintptr_t>(addr);
  for (size_t i = 0; i < PROBES; ++i) {
    const side_effect_reg& e = probe(a, i);
    uintptr_t listed = e.addr.load(std::memory_order_acquire);
    if (listed == a) return &e;
    if (listed == FREE) return nullptr;
  }
  return nullptr;
}

}  // namespace kvel
