// A route dump from netlink, as the kernel's datagrams would bring it. Input: one byte
// choosing the table size (its low five bits, plus one) and whether only routes out of
// "lo" count (bit 5); then datagrams, each a length (u16, little-endian) and its bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "netinfo.h"

namespace {

uint32_t mask_of(uint8_t prefix_len) {
  return prefix_len == 0 ? 0 : prefix_len >= 32 ? ~0u : ~0u << (32 - prefix_len);
}

void check_table(const kvel::route_dump& d) {
  FUZZ_CHECK(d.count >= 0 && d.count <= d.max);
  for (int i = 0; i < d.count; ++i) {
    const kvel::route_entry& e = d.table[i];
    FUZZ_CHECK(memchr(e.ifname, 0, sizeof e.ifname) != nullptr);
    FUZZ_CHECK(e.mask == mask_of(e.prefix_len));
    if (d.filter) FUZZ_CHECK(strcmp(e.ifname, d.filter) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  kvel::route_entry table[kvel::ROUTE_TABLE_SIZE];
  kvel::route_dump d{table, (data[0] & 0x1f) + 1, data[0] & 0x20 ? "lo" : nullptr, 0};
  size_t at = 1;
  bool over = false;
  while (!over && size - at >= 2) {
    const size_t len = std::min<size_t>(size_t(data[at] | data[at + 1] << 8), size - at - 2);
    // Each datagram in a buffer of its own size, so that a read past it is seen.
    const std::vector<uint8_t> dgram(data + at + 2, data + at + 2 + len);
    over = kvel::route_dump_datagram(d, dgram.data(), dgram.size());
    check_table(d);
    at += 2 + len;
  }
  return 0;
}
