// Small text and number helpers of the library.
#pragma once
#include <cstdint>
#include <string>

namespace kvel {

std::string ip_to_string(uint32_t ip);           // "%d.%d.%d.%d", bits 31..24 first
std::string mac_to_string(const uint8_t mac[6]);  // "%02X:%02X:%02X:%02X:%02X:%02X"
std::string mac_u64_to_string(uint64_t mac);      // same, first byte in bits 47..40
uint64_t mac_to_u64(const uint8_t mac[6]);
void u64_to_mac(uint64_t value, uint8_t mac[6]);
inline bool is_multicast(uint32_t ip) { return (ip >> 28) == 0xE; }


}  // namespace kvel
