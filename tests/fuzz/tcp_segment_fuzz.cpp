// The segment parser and its option reader on any bytes. libFuzzer hands over a buffer
// of exactly the input's size, so the address sanitizer sees any read past it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "tcp/tcp_segment.h"

namespace {

using namespace vyxtcp;

void check_options(const tcp_options& o) {
  FUZZ_CHECK(o.wscale <= TCP_MAX_WSCALE);
  FUZZ_CHECK(o.has_wscale || o.wscale == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader alone walks more option bytes than a header can hold.
  check_options(tcp_parse_options(data, size));
  tcp_segment s;
  if (!tcp_parse_segment(data, size, &s)) return 0;
  const size_t hdr = size_t(s.data_offset) * 4;
  FUZZ_CHECK(s.data_offset >= 5 && hdr <= size);
  FUZZ_CHECK(s.payload == data + hdr && s.payload_len == size - hdr);
  FUZZ_CHECK(s.seq.v == tcp_be32(data + 4) && s.flags == data[13]);
  check_options(s.opt);
  // The options come from the header alone: parsed again from a buffer that ends with
  // the header, any read into the payload is a read past the end.
  const std::vector<uint8_t> header(data, data + hdr);
  tcp_segment h;
  FUZZ_CHECK(tcp_parse_segment(header.data(), header.size(), &h));
  FUZZ_CHECK(h.payload_len == 0 && h.opt.mss == s.opt.mss && h.opt.has_wscale == s.opt.has_wscale &&
             h.opt.wscale == s.opt.wscale);
  return 0;
}
