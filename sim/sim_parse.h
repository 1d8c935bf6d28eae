// Number and address text of the simulator's configuration and control commands.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zsim {

// Whole-text unsigned number, decimal or 0x hexadecimal.
bool parse_u64(const std::string& text, uint64_t* value);
// Whole-text signed number; a leading '-' allowed.
bool parse_i64(const std::string& text, int64_t* value);
// "02:5A:00:00:00:01" to a 48-bit number, first byte in bits 47..40.
bool parse_mac(const std::string& text, uint64_t* mac);
std::string format_mac(uint64_t mac);
std::vector<std::string> split_words(const std::string& line);

}  // namespace zsim
