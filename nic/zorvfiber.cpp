#include "zorvfiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diag.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "text_util.h"

namespace kvel {

namespace {

// Fiber configuration registers by number.
constexpr int FIBER_ID = 0;
constexpr int FIBER_APPLY = 1;
constexpr int FIBER_MAC_IN_USE = 5;
constexpr int FIBER_TYPE = 11;
constexpr int FIBER_STATUS = 13;
constexpr int FIBER_LOCAL_IP = 14;
constexpr int FIBER_LOCAL_IP_MASK = 15;
constexpr int FIBER_VLAN_FIRST = 16;
constexpr int FIBER_TX_DELAY = 43;
constexpr int FIBER_RX_DELAY = 44;

constexpr int FIBER_TYPE_TIME = 2;
constexpr uint64_t FIBER_ID_MAGIC = 0x10;
constexpr uint64_t FIBER_ID_LINK_STATUS_BITS = 0xFFFE00;  // bits 9..23
constexpr uint64_t STATUS_LINK_UP = 1u << 1;              // rx-pcs-locked

// Global registers by number.
constexpr int GLOBAL_FIBER_RESET_FIRST = 4;
constexpr useconds_t RESET_HOLD_US = 10;

// Argument of KVEL_SET_TIME_ADDR.
struct time_addr_arg {
  uint8_t mac[6];
  uint8_t reserved[2];
  uint32_t ip;
};
static_assert(sizeof(time_addr_arg) == 12);

uint64_t reg_read(const volatile uint64_t* page, int n) { return mmio_read64(page, 8 * size_t(n)); }
void reg_write(volatile uint64_t* page, int n, uint64_t v) { mmio_write64(page, 8 * size_t(n), v); }

int page_prot(bool read_only) { return read_only ? PROT_READ : PROT_READ | PROT_WRITE; }

// Map one 4 KiB region of the descriptor; null on failure with errno set.
volatile uint64_t* map_page(int fd, bool read_only, long region) {
  void* p = kvel_dev_mmap(fd, KVEL_PAGE_SIZE, page_prot(read_only), region);
  return p == MAP_FAILED ? nullptr : static_cast<volatile uint64_t*>(p);
}

void unmap_page(volatile uint64_t*& page) {
  kvel_dev_unmap(page, KVEL_PAGE_SIZE);
  page = nullptr;
}

// The time port's addresses live in the time module, not in the fiber page, and the
// time port has no VLAN table: types 0 and 1 are ordinary ports.
bool is_normal_port(int type) { return unsigned(type) < unsigned(FIBER_TYPE_TIME); }

// The delay registers hold a signed 32-bit number in their low half; a negative delay
// would move stamps the wrong way and counts as none.
int64_t delay_ps(uint64_t reg) {
  int32_t v = int32_t(uint32_t(reg));
  return v < 0 ? 0 : v;
}

// True, after the diagnostic line of the caller, when the configuration page is missing:
// no register access may then go through it.
bool conf_missing(const volatile uint64_t* conf, const char* func, int line) {
  if (conf) return false;
  diag_print("zorvfiber", func, line, "Global registers not mapped!\n");
  return true;
}

int64_t read_delay(const volatile uint64_t* conf, int reg, const char* func, int line) {
  return conf_missing(conf, func, line) ? 0 : delay_ps(reg_read(conf, reg));
}

}  // namespace

int zorvfiber::map_kvel_global(bool read_only) {
  if (global_) return 0;
  int block = KVEL_BLOCK_GLOBAL;
  if (kvel_dev_ioctl(fd_, KVEL_GET_GLOBAL_BLOCK, &block) != 0) {
    KVEL_DIAG("zorvfiber", "Cannot get global zorvnic register block\n");
    return -1;
  }
  global_ = map_page(fd_, read_only, KVEL_MMAP_BLOCK_REGS);
  if (!global_) {
    KVEL_DIAG("zorvfiber", "Mapping of config regs failed %s\n", strerror(errno));
    return -1;
  }
  return 0;
}

int zorvfiber::init(int fiber, bool read_only) {
  if (mapped_) return 0;
  fiber_ = fiber;
  // Without the global page only pulse_reset is lost, so its failure does not fail init.
  if (!global_) map_kvel_global(read_only);
  conf_ = map_page(fd_, read_only, KVEL_MMAP_FIBER_CONF);
  if (!conf_) {
    KVEL_DIAG("zorvfiber", "Mapping of global fiber conf failed %s\n", strerror(errno));
    return -1;
  }
  uint64_t id = reg_read(conf_, FIBER_ID);
  if (((id >> 24) & 0xFF) != FIBER_ID_MAGIC) {
    KVEL_DIAG("zorvfiber", "Global fiber register error, id not correct (%lX)\n",
              (unsigned long)id);
    return -1;
  }
  type_ = int32_t(uint32_t(reg_read(conf_, FIBER_TYPE)));
  if (type_ > FIBER_TYPE_TIME) {
    KVEL_DIAG("zorvfiber", "Error unknown fiber type %d\n", type_);
    return -1;
  }
  mapped_ = 1;
  has_link_status_ = (id & FIBER_ID_LINK_STATUS_BITS) != 0;
  return 0;
}

void zorvfiber::unmap() {
  unmap_page(conf_);
  unmap_page(global_);
}

void zorvfiber::setup_mac_ip_regs(const uint8_t mac[6], uint32_t ip, uint32_t mask) {
  if (conf_missing(conf_, __func__, __LINE__)) return;
  reg_write(conf_, FIBER_MAC_IN_USE, mac_to_u64(mac));
  if (is_normal_port(type_)) {
    reg_write(conf_, FIBER_LOCAL_IP, ip);
    reg_write(conf_, FIBER_LOCAL_IP_MASK, mask);
    reg_write(conf_, FIBER_APPLY, 1);  // the card takes address and mask together
    return;
  }
  time_addr_arg arg{};
  memcpy(arg.mac, mac, sizeof arg.mac);
  arg.ip = ip;
  if (kvel_dev_ioctl(fd_, KVEL_SET_TIME_ADDR, &arg) != 0)
    KVEL_DIAG("zorvfiber", "Error setting time module address: %s\n", strerror(errno));
}

void zorvfiber::set_vlan_set(uint8_t slot, uint32_t vlan, uint32_t ip) {
  if (conf_missing(conf_, __func__, __LINE__)) return;
  if (slot >= VLAN_SLOTS) {
    KVEL_DIAG("zorvfiber", "Only 15 VLANs are supported\n");
    return;
  }
  // A larger id would spill into the bits above the slot's 12-bit id field.
  if (vlan > VLAN_ID_MAX) {
    KVEL_DIAG("zorvfiber", "VLAN id %u outside 1..4094\n", vlan);
    return;
  }
  if (is_normal_port(type_)) reg_write(conf_, FIBER_VLAN_FIRST + slot, vlan_set_value(vlan, ip));
}

uint64_t zorvfiber::vlan_set(uint8_t slot) {
  if (!conf_ || slot >= VLAN_SLOTS || !is_normal_port(type_)) return 0;
  return reg_read(conf_, FIBER_VLAN_FIRST + slot);
}

int zorvfiber::get_vlan_set(uint32_t vlan) {
  if (conf_missing(conf_, __func__, __LINE__)) return -1;
  for (int k = 0; k < VLAN_SLOTS; ++k)
    if (((reg_read(conf_, FIBER_VLAN_FIRST + k) >> 32) & 0xFFF) == vlan) return k + 1;
  return -1;
}

int zorvfiber::link_up() {
  if (!has_link_status_) return 1;  // the port's hardware does not report link
  if (conf_missing(conf_, __func__, __LINE__)) return 0;
  return (reg_read(conf_, FIBER_STATUS) & STATUS_LINK_UP) ? 1 : 0;
}

void zorvfiber::pulse_reset() {
  // The page holds reset registers for the card's ports only.
  if (!global_ || fiber_ < 0 || fiber_ >= KVEL_MAX_PORTS) return;
  reg_write(global_, GLOBAL_FIBER_RESET_FIRST + fiber_, 1);
  usleep(RESET_HOLD_US);
  reg_write(global_, GLOBAL_FIBER_RESET_FIRST + fiber_, 0);
  usleep(RESET_HOLD_US);
}

uint64_t zorvfiber::read_id() {
  if (conf_missing(conf_, __func__, __LINE__)) return 0;
  return reg_read(conf_, FIBER_ID);
}

int64_t zorvfiber::get_pmapcsmac_tx_delay_ps() {
  return read_delay(conf_, FIBER_TX_DELAY, __func__, __LINE__);
}

int64_t zorvfiber::get_pmapcsmac_rx_delay_ps() {
  return read_delay(conf_, FIBER_RX_DELAY, __func__, __LINE__);
}

}  // namespace kvel
