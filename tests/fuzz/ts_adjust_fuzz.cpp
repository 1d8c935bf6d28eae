// The time-stamp correction file of an interface, with any contents. Input: the port's
// TX and RX delays (u32 each, little-endian; the card's register gives 0..2^31-1 ps),
// then the file.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "memfd_file.h"
#include "ts_adjust.h"

namespace {

constexpr size_t DELAY_BYTES = 8;
constexpr uint32_t DELAY_MASK = 0x7fffffff;

int64_t delay_at(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v & DELAY_MASK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static memfd_file file;
  if (size < DELAY_BYTES) return 0;
  kvel::ts_adjustment_config cfg{};
  kvel::read_ts_config_file(cfg, file.hold(data + DELAY_BYTES, size - DELAY_BYTES));
  FUZZ_CHECK(cfg.enable == 0 || cfg.enable == 1);
  const int64_t tx_delay = delay_at(data), rx_delay = delay_at(data + 4);
  int32_t tx_ns, rx_ns;
  int64_t tx_ps, rx_ps;
  kvel::compute_ts_adjustment(cfg, tx_delay, rx_delay, &tx_ns, &rx_ns);
  kvel::compute_ts_delays_ps(cfg, tx_delay, rx_delay, &tx_ps, &rx_ps);
  if (cfg.enable == 0) FUZZ_CHECK(tx_ns == 0 && rx_ns == 0 && tx_ps == 0 && rx_ps == 0);
  return 0;
}
