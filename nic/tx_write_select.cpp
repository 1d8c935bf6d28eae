// Choice of the TX write routine by processor features and environment.
#include <cpuid.h>

#include <cstdio>
#include <cstdlib>

#include "diag.h"
#include "tx_pio.h"

namespace kvel {
namespace {

// XCR0 state components the operating system saves on a context switch: without them
// the vector registers of that width fault although CPUID lists the instructions.
constexpr uint64_t XCR0_AVX_STATE = 0x6;      // SSE and upper YMM halves
constexpr uint64_t XCR0_AVX512_STATE = 0xe0;  // opmask, upper ZMM halves, ZMM16..31

uint64_t os_vector_state() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE)) return 0;
  unsigned lo, hi;
  __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t(hi) << 32) | lo;
}

bool has_state(uint64_t xcr0, uint64_t bits) { return (xcr0 & bits) == bits; }

struct tx_routine_choice {
  uint8_t tx_pio::*feature;
  const char* disabled_by;  // environment variable that excludes it, or null
  int (tx_pio::*routine)(const void*, int, const void*, int);
  const char* announcement;
};

// In order of preference.
const tx_routine_choice tx_routine_choices[] = {
    {&tx_pio::has_movdir64b_, "DISABLEMOVDIR", &tx_pio::write_movdir64b,
     "Using CPU feat: movdir64b"},
    {&tx_pio::has_avx512f_, "DISABLEAVX512", &tx_pio::write_avx512, "Using CPU feat: avx512f"},
    {&tx_pio::has_avx2_, nullptr, &tx_pio::write_avx2, "Using CPU feat: avx2"},
};

}  // namespace

void tx_pio::read_cpu_features() {
  if (__get_cpuid_max(0, nullptr) < 7) return;
  unsigned eax, ebx, ecx, edx;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const uint64_t xcr0 = os_vector_state();
  const bool avx_usable = has_state(xcr0, XCR0_AVX_STATE);
  if ((ebx & bit_AVX2) && avx_usable) has_avx2_ = 1;
  if ((ebx & bit_AVX512F) && avx_usable && has_state(xcr0, XCR0_AVX512_STATE)) has_avx512f_ = 1;
  if (ebx & bit_CLFLUSHOPT) has_clflushopt_ = 1;
  if (ecx & bit_MOVDIR64B) has_movdir64b_ = 1;
}

void tx_pio::choose_tx_write() {
  read_cpu_features();
  install_tx_write();
}

void tx_pio::install_tx_write() {
  for (const tx_routine_choice& c : tx_routine_choices) {
    if (!(this->*c.feature) || (c.disabled_by && getenv(c.disabled_by))) continue;
    tx_write_ = c.routine;
    // Standard error, not output: a program preloaded with the interposer keeps its
    // output to itself (a line here would land inside the data it writes to a pipe).
    fprintf(stderr, "%s\n", c.announcement);
    return;
  }
  if (has_avx512f_) fprintf(stderr, "%s\n", "Has AVX512F");
  if (has_movdir64b_) fprintf(stderr, "%s\n", "Has MOVDIR64b");
  if (has_clflushopt_) fprintf(stderr, "%s\n", "Has CLFLUSHOPT");
  fputs(KVEL_RED "Unsupported CPU, no AVX2 or CLFLUSHOPT support, aborting!\n", stderr);
  exit(1);
}

}  // namespace kvel
