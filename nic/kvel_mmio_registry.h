// Simulator mappings that have side-effect or write-event registers, for the MMIO
// accessors: an access to a side-effect register becomes a register request on the
// mapping's descriptor, a write to a write-event register a message without a reply.
// The accessors consult the registry only while it holds something, so processes
// whose mappings have no such registers never pay for it.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kvel {

// Number of registered mappings.
extern std::atomic<int> mmio_side_effect_maps;

struct side_effect_reg {
  int fd;           // the mapping's descriptor, -1 once it was closed
  uint64_t token;   // the simulator's name for the mapping
  uint64_t offset;  // byte offset of the register within the mapping
  bool write_event;  // a write-event register, else a side-effect register
};

// offsets: byte offsets of the registers within the mapping, as the simulator lists
// them (SIM_REG_WRITE_EVENT marks a write-event register).
void mmio_register(const void* base, size_t len, int fd, uint64_t token, const uint32_t* offsets,
                   uint32_t count);
// Forgets the mappings that start within [addr, addr + len).
void mmio_unregister(const void* addr, size_t len);
// The descriptor was closed: its mappings stay, their side-effect registers go dead.
void mmio_forget_fd(int fd);
// True when addr is a side-effect or write-event register of a registered mapping.
bool mmio_side_effect_lookup(const volatile void* addr, side_effect_reg* reg);

}  // namespace kvel
