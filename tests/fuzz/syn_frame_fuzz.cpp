// The check of a SYN frame that a listener descriptor hands over, on any frame. The
// first input byte chooses whether the checksums are set right before the check: a
// random frame almost never carries two valid checksums, and without them the fuzzer
// would not get past them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "tcp/vyx_tcp_syn_frame.h"

namespace {

using namespace vyxtcp;

void put_checksum(uint8_t* at, uint16_t sum) {
  at[0] = uint8_t(sum >> 8);
  at[1] = uint8_t(sum);
}

// Writes the IPv4 header checksum and the TCP checksum where the frame's own lengths
// place them inside the frame; other frames stay as they are.
void set_checksums(std::vector<uint8_t>& f) {
  const int at = syn_frame_ip_offset(f.data(), f.size());
  if (at < 0 || f.size() < size_t(at) + IPV4_HDR_BYTES) return;
  uint8_t* ip = f.data() + at;
  const size_t room = f.size() - size_t(at);
  const size_t ihl = size_t(ip[0] & 0x0f) * 4;
  if (ihl < size_t(IPV4_HDR_BYTES) || ihl > room) return;
  put_checksum(ip + 10, 0);
  put_checksum(ip + 10, fold_checksum(ones_sum(ip, ihl, 0)));
  const size_t total = tcp_be16(ip + 2);
  if (total < ihl + TCP_HDR_BYTES || total > room) return;
  uint8_t* tcp = ip + ihl;
  put_checksum(tcp + 16, 0);
  const uint32_t pseudo = ones_sum(ip + 12, 8, 0) + IPPROTO_TCP_NUM + uint32_t(total - ihl);
  put_checksum(tcp + 16, fold_checksum(ones_sum(tcp, total - ihl, pseudo)));
}

// What the listener reads from an accepted frame: a SYN without ACK, whose segment lies
// inside the IPv4 total length, inside the frame.
void check_accepted(const std::vector<uint8_t>& f) {
  const int at = syn_frame_ip_offset(f.data(), f.size());
  FUZZ_CHECK(at >= 0);
  const uint8_t* ip = f.data() + at;
  const size_t ihl = size_t(ip[0] & 0x0f) * 4;
  const size_t total = tcp_be16(ip + 2);
  FUZZ_CHECK(ihl >= size_t(IPV4_HDR_BYTES) && total >= ihl + TCP_HDR_BYTES);
  FUZZ_CHECK(size_t(at) + total <= f.size());
  tcp_segment seg;
  FUZZ_CHECK(tcp_parse_segment(ip + ihl, total - ihl, &seg));
  FUZZ_CHECK(seg.has(TCP_SYN) && !seg.has(TCP_ACK));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // A buffer of exactly the frame's size, so that a read past it is seen.
  std::vector<uint8_t> frame(data + 1, data + size);
  if (data[0] & 1) set_checksums(frame);
  const std::vector<uint8_t> before = frame;
  const int rc = check_syn_frame(frame.data(), frame.size());
  FUZZ_CHECK(rc == 0 || rc == -1);
  FUZZ_CHECK(frame == before);
  if (rc == 0) check_accepted(frame);
  return 0;
}
