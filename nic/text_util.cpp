#include "text_util.h"

#include <cstdio>

namespace kvel {

std::string ip_to_string(uint32_t ip) {
  char buf[16];
  snprintf(buf, sizeof buf, "%d.%d.%d.%d", int(ip >> 24), int((ip >> 16) & 0xFF),
           int((ip >> 8) & 0xFF), int(ip & 0xFF));
  return buf;
}

std::string mac_to_string(const uint8_t mac[6]) {
  char buf[18];
  snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
  return buf;
}

std::string mac_u64_to_string(uint64_t mac) {
  uint8_t bytes[6];
  u64_to_mac(mac, bytes);
  return mac_to_string(bytes);
}

uint64_t mac_to_u64(const uint8_t mac[6]) {
  uint64_t value = 0;
  for (int i = 0; i < 6; i++) value = value << 8 | mac[i];
  return value;
}

void u64_to_mac(uint64_t value, uint8_t mac[6]) {
  for (int i = 0; i < 6; i++) mac[i] = uint8_t(value >> (40 - 8 * i));
}

}  // namespace kvel
