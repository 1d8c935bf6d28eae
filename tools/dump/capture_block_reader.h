// Reading pcapng blocks back: the Section Header, Interface Description, Interface
// Statistics and Enhanced Packet Blocks with their options, in the host's byte order
// (the order the tool writes them in).
#pragma once
#include <cstdint>
#include <cstdio>
#include <vector>

namespace zdump {

struct decoded_option {
  uint16_t code = 0;
  std::vector<unsigned char> value;  // without the fill to the 32-bit boundary
};

struct pcapng_block {
  uint32_t type = 0;
  uint32_t total = 0;  // block total length
  // Section Header Block
  uint32_t magic = 0;
  uint16_t major = 0, minor = 0;
  uint64_t section_length = 0;
  // Interface Description Block
  uint16_t link_type = 0;
  uint32_t snap_len = 0;
  // Enhanced Packet and Interface Statistics Blocks
  uint32_t ifid = 0;
  uint64_t ts = 0;
  uint32_t captured = 0, original = 0;  // Enhanced Packet Block only
  std::vector<unsigned char> data;      // the captured bytes, without the fill
  // The fill after the captured bytes, which the format wants zero.
  std::vector<unsigned char> fill;
  std::vector<decoded_option> options;
};

// The options in len bytes at p, up to their end marker or the end of the bytes: 0, or
// -1 for an option that runs past them.
int decode_options(const unsigned char* p, size_t len, std::vector<decoded_option>* out);
// The next block of the stream: 1, 0 at the end of the stream, or -1 after a message
// (a type not listed above, a short or inconsistent block, bad options).
int read_block(FILE* in, pcapng_block* b);

}  // namespace zdump
