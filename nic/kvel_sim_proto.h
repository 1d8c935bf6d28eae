// Wire format between the device-access layer and the card simulator, on the
// SOCK_SEQPACKET connection that stands for one device descriptor. Each call is one
// request message (header, then `len` data bytes) and one reply message (header, then
// `len` data bytes, plus a descriptor passed with SCM_RIGHTS for a mapping). The reply
// echoes the request's sequence number, so a reply that arrives after its caller gave
// up is recognised and dropped by the next call on the descriptor.
//
// Writes to write-event registers take no message: they go through the page's event
// queue in shared memory (kvel_sim_events.h), which the mmap reply passes.
#pragma once
#include <cstdint>

namespace kvel {

constexpr uint32_t SIM_PROTO_MAGIC = 0x4D53565Au;  // "ZVSM"

enum sim_op : uint32_t {
  SIM_OP_IOCTL = 1,      // arg0 command; data the input bytes -> output bytes
  SIM_OP_MMAP = 2,       // arg0 region selector, arg1 length, arg2 protection
                         //   -> memfd; value the mapping's token; data u32 register offsets;
                         //   with write-event registers also the event queue's memfd and
                         //   the simulator's wake eventfd
  SIM_OP_READ = 3,       // arg0 byte count -> the bytes (none when nothing waits)
  SIM_OP_REG_READ = 4,   // arg0 mapping token, arg1 byte offset -> value
  SIM_OP_REG_WRITE = 5,  // arg0 mapping token, arg1 byte offset, arg2 value
};

// In an mmap reply's offsets: the register is a write-event register (every write is
// an event, put in the event queue; reads see the shared page). Offsets without the
// bit are side-effect registers, read and written by request.
constexpr uint32_t SIM_REG_WRITE_EVENT = 1u << 31;

struct sim_request {
  uint32_t magic;
  uint32_t op;
  uint64_t seq;
  uint64_t arg0;
  uint64_t arg1;
  uint64_t arg2;
  uint32_t len;
  uint32_t reserved;
};

struct sim_reply {
  uint32_t magic;
  int32_t err;  // errno of a failed call, else 0
  uint64_t seq;
  int64_t result;  // the call's result: -1 on failure
  uint64_t value;  // mapping token or register value
  uint32_t len;
  uint32_t reserved;
};

// Largest data part of a message: every ioctl argument size (14 bits) fits, and read
// counts are capped to it.
constexpr uint32_t SIM_MAX_DATA = 16384;
// Most side-effect and write-event registers one mapping may list.
constexpr uint32_t SIM_MAX_SIDE_EFFECT_REGS = 64;
// Most descriptors one reply passes: a page, its event queue and the wake eventfd.
constexpr int SIM_MAX_PASSED_FDS = 3;
// Bytes of an event queue's memfd.
constexpr uint64_t SIM_EVENT_QUEUE_BYTES = 8192;

}  // namespace kvel
