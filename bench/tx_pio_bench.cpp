// Cost of one send written into a TX window with each write routine this processor
// has, for a small (64-byte) and a full-size (1472-byte) payload. The window is
// ordinary memory, not a write-combining mapping, and the stand-in card has always read
// everything, so credits never run out and a poll of the feedback word always succeeds.
#include <benchmark/benchmark.h>

#include <cstring>

#include "../tests/support/session_fixture.h"
#include "kvel_ioctl.h"
#include "tx_pio.h"

namespace {

using kvel::tx_pio;
using routine_ptr = int (tx_pio::*)(const void*, int, const void*, int);

void write_sends(benchmark::State& state, routine_ptr routine, uint8_t tx_pio::*feature) {
  tx_pio probe;
  probe.read_cpu_features();
  if (!(probe.*feature)) {
    state.SkipWithError("processor lacks this routine");
    return;
  }
  zt::fake_session session;
  zt::mapped_region window(kvel::KVEL_TX_PIO_SIZE);
  zt::mapped_region feedback(4096);
  zt::mapped_region payload(2 * 4096);
  memset(payload.p, 0x3C, payload.len);
  uint8_t desc[32] = {};
  tx_pio tx;
  tx.owner_ = session.ref();
  tx.tx_pio_mem_ = window.p;
  tx.fdb_ = reinterpret_cast<volatile uint32_t*>(feedback.p);
  tx.init_tx_state();
  tx.tx_write_ = routine;
  const int len = int(state.range(0));
  for (auto _ : state) {
    if (tx.write(payload.p, len, desc, 100) != 0) {
      state.SkipWithError("no room although the card keeps up");
      return;
    }
    // The card has read everything written so far.
    *tx.fdb_ = uint32_t(tx.tx_offset_ >> 12) << 16 | uint32_t((tx.tx_offset_ & 0xfff) / 64);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * len);
}

BENCHMARK_CAPTURE(write_sends, avx2, &tx_pio::write_avx2, &tx_pio::has_avx2_)->Arg(64)->Arg(1472);
BENCHMARK_CAPTURE(write_sends, avx512, &tx_pio::write_avx512, &tx_pio::has_avx512f_)
    ->Arg(64)
    ->Arg(1472);
BENCHMARK_CAPTURE(write_sends, movdir64b, &tx_pio::write_movdir64b, &tx_pio::has_movdir64b_)
    ->Arg(64)
    ->Arg(1472);

}  // namespace
