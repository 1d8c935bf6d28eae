// zorv_dump's packet thread: cutting a DMA stretch of capture records and writing them
// as pcapng blocks into the output slots, beside a single memcpy of the same stretch
// (the least any copy of the records costs) in the same run. The slots are emptied
// between stretches as the file thread would, without the write.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "capture_writer.h"
#include "output_file.h"
#include "record_extract.h"

namespace {

using namespace zdump;

constexpr uint8_t ALIGN = 64;

// A stretch of records of frames of len bytes, as near 1 MiB as whole records allow.
std::vector<unsigned char> stretch_of(uint16_t len, int* records) {
  size_t rec = ALIGN + (len + ALIGN - 1) / ALIGN * ALIGN;
  *records = int(DMA_BUFFER_BYTES / rec);
  std::vector<unsigned char> s(size_t(*records) * rec, 0x5A);
  for (int i = 0; i < *records; ++i) {
    unsigned char* r = &s[size_t(i) * rec];
    uint32_t ns = uint32_t(i), sec = 1800000000;
    memcpy(r, &ns, 4);
    memcpy(r + 4, &sec, 4);
    memcpy(r + 8, &len, 2);
    r[10] = uint8_t(i & 1);
  }
  return s;
}

void empty_slots(output_file* f) {
  for (file_slot& s : f->slots) {
    s.len = 0;
    s.full.store(0, std::memory_order_release);
  }
}

void BM_DumpRecords(benchmark::State& state) {
  int records = 0;
  std::vector<unsigned char> stretch = stretch_of(uint16_t(state.range(0)), &records);
  std::vector<unsigned char> dma(DMA_BUFFER_BYTES);
  memcpy(dma.data(), stretch.data(), stretch.size());
  dump_device dev;
  dev.align = ALIGN;
  dev.ch[0].buf = dev.ch[1].buf = dma.data();
  packet_context* ctx = create_packet_context(&dev, "kvel0");
  output_file* file = open_output_file("/dev/null", true);
  std::atomic<bool> gone{false};
  const char* names[] = {"kvel0"};
  capture_writer* w = create_writer(names, 1, FORMAT_PCAPNG, file->slots, &gone);
  for (auto _ : state) {
    dma_channel& ch = dev.ch[ctx->next];
    ch.len = uint32_t(stretch.size());
    ch.full.store(1, std::memory_order_release);
    benchmark::DoNotOptimize(run_pkt(ctx, w, 0));
    empty_slots(file);
  }
  state.SetItemsProcessed(state.iterations() * records);
  state.SetBytesProcessed(state.iterations() * int64_t(stretch.size()));
  close_writer(w);
  empty_slots(file);
  close_output_file(file);
  free_packet_context(ctx);
}

void BM_CopyOnce(benchmark::State& state) {
  int records = 0;
  std::vector<unsigned char> stretch = stretch_of(uint16_t(state.range(0)), &records);
  std::vector<unsigned char> to(stretch.size());
  for (auto _ : state) {
    memcpy(to.data(), stretch.data(), stretch.size());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * records);
  state.SetBytesProcessed(state.iterations() * int64_t(stretch.size()));
}

BENCHMARK(BM_DumpRecords)->Arg(60)->Arg(1500)->Arg(9000);
BENCHMARK(BM_CopyOnce)->Arg(60)->Arg(1500)->Arg(9000);

}  // namespace
