#include "zorvtime.h"

#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <x86intrin.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "devname.h"
#include "diag.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "plain_output.h"

namespace kvel {

std::atomic<uint64_t> tsc_hz{0};

namespace {

constexpr size_t TIME_REG_CARD_TIME = 2 * 8;
constexpr useconds_t TSC_CALIBRATION_US = 10000;

uint64_t monotonic_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

uint64_t calibrate_tsc_hz() {
  uint64_t us1 = monotonic_us();
  uint64_t tsc1 = __rdtsc();
  usleep(TSC_CALIBRATION_US);
  uint64_t tsc2 = __rdtsc();
  uint64_t us2 = monotonic_us();
  uint64_t elapsed = us2 > us1 ? us2 - us1 : 1;  // usleep guarantees the 10 ms
  return (tsc2 - tsc1) * 1000000u / elapsed;
}

// The first rate stored stays: a calibrated rate handed to an application is not
// replaced by the driver's later on, and a racing second store changes nothing.
uint64_t store_tsc_hz(uint64_t hz) {
  uint64_t expected = 0;
  return tsc_hz.compare_exchange_strong(expected, hz) ? hz : expected;
}

}  // namespace

int zorvtime::init(const char* ifname) {
  release();  // the object holds one descriptor and one page
  vlan_name v = split_vlan_name(ifname);
  fiber_device dev = resolve_interface(v.name.c_str());
  if (dev.fiber < 0) return -1;
  fd_ = kvel_dev_open(dev.dev_path.c_str(), true);
  int block = KVEL_BLOCK_TIME;
  // A failed open leaves its errno for the message.
  if (fd_ < 0 || kvel_dev_ioctl(fd_, KVEL_ALLOC_BLOCK, &block) != 0) {
    KVEL_DIAG("zorvtime", "Allocating of unknown block failed (%s)\n", strerror(errno));
    return -1;
  }
  void* p = kvel_dev_mmap(fd_, KVEL_PAGE_SIZE, PROT_READ, KVEL_MMAP_BLOCK_REGS);
  if (p == MAP_FAILED) {
    fprintf(kvel::plain_output(), "Mapping of config regs failed %s\n", strerror(errno));
    fflush(kvel::plain_output());
    return -1;
  }
  page_ = static_cast<const volatile uint64_t*>(p);
  return 0;
}

uint64_t zorvtime::read_time() const { return page_ ? mmio_read64(page_, TIME_REG_CARD_TIME) : 0; }

void zorvtime::release() {
  kvel_dev_unmap(page_, KVEL_PAGE_SIZE);
  page_ = nullptr;
  kvel_dev_close_if_open(fd_);
}

void init_tsc_hz(int dev_fd) {
  if (tsc_hz.load()) return;
  if (dev_fd > 0) {
    int khz = 0;
    if (kvel_dev_ioctl(dev_fd, KVEL_TSC_KHZ, &khz) == 0 && khz >= 1) {
      store_tsc_hz(uint64_t(khz) * 1000u);
      return;
    }
  }
  store_tsc_hz(calibrate_tsc_hz());
}

uint64_t get_tsc_hz() {
  uint64_t hz = tsc_hz.load();
  return hz ? hz : store_tsc_hz(calibrate_tsc_hz());
}

}  // namespace kvel
