// The neighbour table in the /proc/net/arp format, with any contents. Input: the IPv4
// address looked up (u32, first octet first), one byte choosing the interface asked for
// (0: any, 1: "lo", else "kvel0"), then the file.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "memfd_file.h"
#include "netinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static memfd_file file;
  if (size < 5) return 0;
  const uint32_t ip = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | data[2] << 8 | data[3];
  const char* ifname = data[4] == 0 ? nullptr : data[4] == 1 ? "lo" : "kvel0";
  uint8_t mac[6] = {};
  const int rc = kvel::arp_lookup_file(file.hold(data + 5, size - 5).c_str(), ip, mac, ifname);
  FUZZ_CHECK(rc == 0 || rc == -1);
  if (rc == 0) FUZZ_CHECK(mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5]);
  return 0;
}
