#include "kvel_dev.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "kvel_ioctl.h"
#include "kvel_mmio_registry.h"
#include "kvel_sim_client.h"
#include "kvel_sim_proto.h"
#include "sys_calls.h"

namespace kvel {
namespace {

// What a failed read of a side-effect register gives: the value of a read from a
// device that is no longer there.
constexpr uint64_t GONE_REGISTER = ~0ull;

bool is_simulator(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

// 0 for an answer that reports success, else -errno of the exchange or of the refusal.
int verdict(int exchange_rc, const sim_answer& answer) {
  if (exchange_rc < 0) return exchange_rc;
  return answer.result < 0 ? -(answer.err > 0 ? answer.err : EIO) : 0;
}

// One exchange whose reply must not carry a descriptor: the simulator's result, or -1
// with errno.
int64_t sim_simple_call(int fd, const sim_call& call, sim_answer* answer) {
  int rc = sim_exchange(fd, call, answer);
  if (rc == 0 && answer->fd_count) {
    sim_close_passed(answer);
    rc = -EPROTO;
  }
  rc = verdict(rc, *answer);
  if (rc < 0) {
    errno = -rc;
    return -1;
  }
  return answer->result;
}

int sim_ioctl(int fd, unsigned long cmd, void* arg) {
  unsigned dir = ioc_dir(cmd);
  unsigned size = ioc_size(cmd);
  if (size && dir && !arg) {
    errno = EFAULT;
    return -1;
  }
  bool in = dir & IOC_DIR_WRITE;
  bool out = dir & IOC_DIR_READ;
  sim_call call{.op = SIM_OP_IOCTL,
                .arg0 = cmd,
                .in = in ? arg : nullptr,
                .in_len = in ? size : 0,
                .out = out ? arg : nullptr,
                .out_cap = out ? size : 0};
  sim_answer answer;
  int64_t result = sim_simple_call(fd, call, &answer);
  if (result >= 0 && out && answer.out_len != size) {
    errno = EPROTO;
    return -1;
  }
  return int(result);
}

// Where a mapping's write-event registers put their writes: the event queue and the
// wake descriptor that came with the mapping.
struct event_link {
  sim_event_queue* queue = nullptr;
  int wake_fd = -1;
};

bool lists_write_events(const uint32_t* offsets, uint32_t count) {
  return std::any_of(offsets, offsets + count,
                     [](uint32_t o) { return (o & SIM_REG_WRITE_EVENT) != 0; });
}

// The queue and wake descriptor passed after the page (the answer keeps the page's);
// -EPROTO when they are not there.
int take_event_link(sim_answer& answer, event_link* link) {
  if (answer.fd_count != 3) return -EPROTO;
  void* q = mmap(nullptr, SIM_EVENT_QUEUE_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED,
                 answer.fds[1], 0);
  sys_close(answer.fds[1]);
  answer.fd_count = 1;
  if (q == MAP_FAILED) {
    sys_close(answer.fds[2]);
    return -errno;
  }
  *link = {static_cast<sim_event_queue*>(q), sys_lift_private(answer.fds[2], true)};
  return 0;
}

// The simulated card a device descriptor speaks to: the socket path it is connected to
// (empty when that cannot be read).
std::string card_of(int fd) {
  sockaddr_un peer{};
  socklen_t len = sizeof peer;
  if (sys_getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
      len <= socklen_t(offsetof(sockaddr_un, sun_path)))
    return {};
  return std::string(peer.sun_path, strnlen(peer.sun_path, len - offsetof(sockaddr_un, sun_path)));
}

void release_link(const event_link& link) {
  if (link.queue) munmap(link.queue, SIM_EVENT_QUEUE_BYTES);
  if (link.wake_fd >= 0) sys_close(link.wake_fd);
}

void* sim_mmap(int fd, size_t len, int prot, long offset) {
  uint32_t offsets[SIM_MAX_SIDE_EFFECT_REGS];
  sim_call call{.op = SIM_OP_MMAP,
                .arg0 = uint64_t(offset),
                .arg1 = len,
                .arg2 = uint64_t(prot),
                .out = offsets,
                .out_cap = sizeof offsets};
  sim_answer answer;
  int rc = verdict(sim_exchange(fd, call, &answer), answer);
  uint32_t count = answer.out_len / sizeof offsets[0];
  if (rc == 0 && answer.out_len % sizeof offsets[0]) rc = -EPROTO;
  event_link link;
  if (rc == 0 && lists_write_events(offsets, count)) rc = take_event_link(answer, &link);
  if (rc == 0 && answer.fd_count != 1) rc = -EPROTO;
  void* p = MAP_FAILED;
  if (rc == 0) {
    p = mmap(nullptr, len, prot, MAP_SHARED, answer.fds[0], 0);
    rc = p == MAP_FAILED ? -errno : 0;
  }
  sim_close_passed(&answer);
  if (rc < 0) {
    release_link(link);
    errno = -rc;
    return MAP_FAILED;
  }
  if (count && !mmio_register(p, len, fd, answer.value, offsets, count, link.queue,
                              SIM_EVENT_QUEUE_BYTES, link.wake_fd,
                              link.wake_fd >= 0 ? card_of(fd) : std::string())) {
    munmap(p, len);  // the registry gave the link back
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return p;
}

ssize_t sim_read(int fd, void* buf, size_t count) {
  if (count && !buf) {
    errno = EFAULT;
    return -1;
  }
  uint32_t n = count < SIM_MAX_DATA ? uint32_t(count) : SIM_MAX_DATA;
  sim_call call{.op = SIM_OP_READ, .arg0 = n, .out = buf, .out_cap = n};
  sim_answer answer;
  int64_t result = sim_simple_call(fd, call, &answer);
  if (result > int64_t(answer.out_len)) {
    errno = EPROTO;
    return -1;
  }
  return result;
}

uint64_t sim_reg_read(const side_effect_reg& reg) {
  int fd = reg.fd.load(std::memory_order_relaxed);
  if (fd < 0) return GONE_REGISTER;
  sim_call call{.op = SIM_OP_REG_READ, .arg0 = reg.token, .arg1 = reg.offset};
  sim_answer answer;
  return sim_simple_call(fd, call, &answer) < 0 ? GONE_REGISTER : answer.value;
}

// A write that the simulator refuses or never sees is lost, as on a device that has
// gone away.
void sim_reg_write(const side_effect_reg& reg, uint64_t value) {
  int fd = reg.fd.load(std::memory_order_relaxed);
  if (fd < 0) return;
  sim_call call{.op = SIM_OP_REG_WRITE, .arg0 = reg.token, .arg1 = reg.offset, .arg2 = value};
  sim_answer answer;
  sim_simple_call(fd, call, &answer);
}

void wake_simulator(const side_effect_reg& reg) {
  uint64_t one = 1;
  sys_write(reg.wake_fd, &one, sizeof one);
}

// A write-event register's write: a slot of the mapping's event queue, which the
// simulator takes in order. The card sees every write of such a register, so a full
// queue is waited out (the simulator woken, in case it sleeps) for as long as a request
// would be; a simulator that takes nothing for that long has gone, and the write is lost.
void sim_reg_event(const side_effect_reg& reg, uint64_t value) {
  if (reg.fd.load(std::memory_order_relaxed) < 0) return;
  bool wake = false;
  if (!sim_event_put(reg.queue, reg.offset, value, &wake)) {
    int64_t deadline = sim_clock_ms() + kvel_dev_timeout_ms;
    do {
      wake_simulator(reg);
      sched_yield();
    } while (!sim_event_put(reg.queue, reg.offset, value, &wake) && sim_clock_ms() < deadline);
  }
  if (wake) wake_simulator(reg);
}

bool registry_in_use() { return mmio_side_effect_maps.load(std::memory_order_acquire) != 0; }

}  // namespace

int kvel_dev_open(const char* path, bool cloexec) {
  struct stat st;
  if (!path) {
    errno = EFAULT;
    return -1;
  }
  if (stat(path, &st) != 0) return -1;
  // A session's device descriptor lives as long as its connection, past the program's
  // close of the socket; low, it would take the number the program's next accept gets.
  if (S_ISSOCK(st.st_mode)) return sys_lift_private(sim_connect(path), true);
  if (!S_ISCHR(st.st_mode)) {
    errno = ENODEV;
    return -1;
  }
  return sys_lift_private(open(path, O_RDWR | (cloexec ? O_CLOEXEC : 0)), cloexec);
}

int kvel_dev_ioctl(int fd, unsigned long cmd, void* arg) {
  return is_simulator(fd) ? sim_ioctl(fd, cmd, arg) : sys_ioctl(fd, cmd, arg);
}

void* kvel_dev_mmap(int fd, size_t len, int prot, long offset) {
  return is_simulator(fd) ? sim_mmap(fd, len, prot, offset)
                          : mmap(nullptr, len, prot, MAP_SHARED, fd, offset);
}

int kvel_dev_munmap(void* addr, size_t len) {
  if (registry_in_use()) mmio_unregister(addr, len);
  return munmap(addr, len);
}

void kvel_dev_zero(int fd, void* addr, size_t len) {
  if (is_simulator(fd) && madvise(addr, len, MADV_REMOVE) == 0) return;
  memset(addr, 0, len);
}

ssize_t kvel_dev_read(int fd, void* buf, size_t count) {
  return is_simulator(fd) ? sim_read(fd, buf, count) : sys_read(fd, buf, count);
}

int kvel_dev_close(int fd) {
  if (registry_in_use()) mmio_forget_fd(fd);
  return sys_close(fd);
}

uint64_t mmio_read64(const volatile void* page, size_t byte_offset) {
  auto reg = reinterpret_cast<const volatile uint64_t*>(static_cast<const volatile char*>(page) +
                                                        byte_offset);
  if (registry_in_use()) {
    const side_effect_reg* side = mmio_side_effect_lookup(reg);
    if (side && !side->write_event) return sim_reg_read(*side);
  }
  return *reg;
}

void mmio_write64(volatile void* page, size_t byte_offset, uint64_t value) {
  auto reg = reinterpret_cast<volatile uint64_t*>(static_cast<volatile char*>(page) + byte_offset);
  if (registry_in_use()) {
    if (const side_effect_reg* side = mmio_side_effect_lookup(reg))
      return side->write_event ? sim_reg_event(*side, value) : sim_reg_write(*side, value);
  }
  *reg = value;
}

}  // namespace kvel
