#include "capture_block_reader.h"

#include <cstring>

#include "capture_blocks.h"
#include "unaligned.h"

namespace zdump {
namespace {

constexpr uint32_t BLOCK_OVERHEAD = 12;  // type, total length, trailing total length

uint64_t load_ts(const unsigned char* p) {
  return uint64_t(load_u32(p)) << 32 | load_u32(p + 4);
}

// The fixed fields of b's type from body; the bytes they take, or -1 when the body
// is too short for them.
int64_t decode_fixed(const unsigned char* body, size_t len, pcapng_block* b) {
  switch (b->type) {
    case SHB_TYPE:
      if (len < 16) return -1;
      b->magic = load_u32(body);
      b->major = load_u16(body + 4);
      b->minor = load_u16(body + 6);
      memcpy(&b->section_length, body + 8, 8);
      return 16;
    case IDB_TYPE:
      if (len < 8) return -1;
      b->link_type = load_u16(body);
      b->snap_len = load_u32(body + 4);
      return 8;
    case ISB_TYPE:
      if (len < 12) return -1;
      b->ifid = load_u32(body);
      b->ts = load_ts(body + 4);
      return 12;
    default: {  // EPB_TYPE
      if (len < 20) return -1;
      b->ifid = load_u32(body);
      b->ts = load_ts(body + 4);
      b->captured = load_u32(body + 12);
      b->original = load_u32(body + 16);
      // In 64 bits: a captured length near 2^32 must not wrap to a small one.
      const uint64_t padded = (uint64_t(b->captured) + 3) & ~uint64_t(3);
      if (len - 20 < padded) return -1;
      b->data.assign(body + 20, body + 20 + b->captured);
      b->fill.assign(body + 20 + b->captured, body + 20 + padded);
      return int64_t(20 + padded);
    }
  }
}

bool known_type(uint32_t type) {
  return type == SHB_TYPE || type == IDB_TYPE || type == ISB_TYPE || type == EPB_TYPE;
}

}  // namespace

int decode_options(const unsigned char* p, size_t len, std::vector<decoded_option>* out) {
  size_t at = 0;
  while (len - at >= 4) {
    const uint16_t code = load_u16(p + at), n = load_u16(p + at + 2);
    at += 4;
    if (code == OPT_END) return 0;
    if (len - at < pcapng_padded(n)) return -1;
    out->push_back({code, std::vector<unsigned char>(p + at, p + at + n)});
    at += pcapng_padded(n);
  }
  return 0;
}

int read_block(FILE* in, pcapng_block* b) {
  *b = pcapng_block{};
  unsigned char head[8];
  const size_t got = fread(head, 1, sizeof head, in);
  if (got == 0) return 0;
  b->type = load_u32(head);
  b->total = got == sizeof head ? load_u32(head + 4) : 0;
  if (got == sizeof head && !known_type(b->type)) {
    fprintf(stderr, "Error block type %d not supported\n", int(b->type));
    return -1;
  }
  if (got < sizeof head || b->total < BLOCK_OVERHEAD || b->total % 4) {
    fprintf(stderr, "Error block of type %d with length %u\n", int(b->type), b->total);
    return -1;
  }
  std::vector<unsigned char> rest(b->total - sizeof head);
  if (fread(rest.data(), 1, rest.size(), in) != rest.size() ||
      load_u32(rest.data() + rest.size() - 4) != b->total) {
    fprintf(stderr, "Error block of type %d cut short or its lengths differ\n", int(b->type));
    return -1;
  }
  const size_t body = rest.size() - 4;
  const int64_t fixed = decode_fixed(rest.data(), body, b);
  if (fixed < 0 || decode_options(rest.data() + fixed, body - size_t(fixed), &b->options) < 0) {
    fprintf(stderr, "Error block of type %d with a body of %zu bytes that its fields overrun\n",
            int(b->type), body);
    return -1;
  }
  return 1;
}

}  // namespace zdump
