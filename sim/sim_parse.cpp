#include "sim_parse.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace zsim {

bool parse_u64(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' ||
      isspace(static_cast<unsigned char>(text[0])))
    return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno || *end) return false;
  *value = v;
  return true;
}

bool parse_i64(const std::string& text, int64_t* value) {
  bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude;
  if (!parse_u64(negative ? text.substr(1) : text, &magnitude)) return false;
  if (magnitude > (negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX))) return false;
  *value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  return true;
}

bool parse_mac(const std::string& text, uint64_t* mac) {
  if (text.size() != 17) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (i % 3 == 2) {
      if (c != ':') return false;
      continue;
    }
    if (!isxdigit(c)) return false;
    v = v << 4 | unsigned(isdigit(c) ? c - '0' : tolower(c) - 'a' + 10);
  }
  *mac = v;
  return true;
}

std::string format_mac(uint64_t mac) {
  char buf[18];
  snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", unsigned(mac >> 40 & 0xFF),
           unsigned(mac >> 32 & 0xFF), unsigned(mac >> 24 & 0xFF), unsigned(mac >> 16 & 0xFF),
           unsigned(mac >> 8 & 0xFF), unsigned(mac & 0xFF));
  return buf;
}

std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

}  // namespace zsim
