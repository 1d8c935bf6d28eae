// Simulator mappings that have side-effect or write-event registers, for the MMIO
// accessors: an access to a side-effect register becomes a register request on the
// mapping's descriptor, a write to a write-event register a slot of the page's event
// queue (kvel_sim_events.h). The accessors consult the registry only while it holds
// something, so processes whose mappings have no such registers never pay for it; the
// look-up takes no lock, since a doorbell ring must cost about a register store.
#pragma once
#include <string>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kvel_sim_events.h"

namespace kvel {

// Number of registered mappings.
extern std::atomic<int> mmio_side_effect_maps;

// One listed register, as the accessors find it. Written under the registry's lock
// while `addr` does not name it (see the look-up), read by the accessors without one.
struct side_effect_reg {
  // The register's address; 0 for a free entry, 1 for one whose register was forgotten.
  // Stored last (release) when an entry is filled, loaded first (acquire) by a look-up.
  std::atomic<uintptr_t> addr;
  // The mapping's descriptor, -1 once it was closed (written under the lock at any time,
  // so atomic).
  std::atomic<int> fd;
  uint64_t token;   // the simulator's name for the mapping
  uint32_t offset;  // byte offset of the register within the mapping
  bool write_event;  // a write-event register, else a side-effect register
  sim_event_queue* queue;  // a write-event register's queue (the mapping's)
  int wake_fd;             // the simulator's wake eventfd (shared by the card's mappings)
};

// offsets: byte offsets of the registers within the mapping, as the simulator lists
// them (SIM_REG_WRITE_EVENT marks a write-event register). A mapping with write-event
// registers comes with its queue (mapped, queue_len bytes) and the wake descriptor,
// which the registry owns from here on; wake_card names the simulated card it wakes, so
// that the card's mappings share one such descriptor. False, with nothing registered, when too many
// registers are listed already.
bool mmio_register(const void* base, size_t len, int fd, uint64_t token, const uint32_t* offsets,
                   uint32_t count, sim_event_queue* queue = nullptr, size_t queue_len = 0,
                   int wake_fd = -1, const std::string& wake_card = {});
// Forgets the mappings that start within [addr, addr + len).
void mmio_unregister(const void* addr, size_t len);
// The descriptor was closed: its mappings stay, their side-effect registers go dead.
void mmio_forget_fd(int fd);
// The entry of addr when it is a side-effect or write-event register of a registered
// mapping, else null. The entry stays valid while the mapping does.
const side_effect_reg* mmio_side_effect_lookup(const volatile void* addr);

}  // namespace kvel
