// Host-order loads from byte buffers at any alignment (descriptors, netlink attributes,
// capture records): memcpy, which the compiler turns into one plain load.
#pragma once
#include <cstdint>
#include <cstring>

inline uint16_t load_u16(const unsigned char* p) {
  uint16_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

inline uint32_t load_u32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}
