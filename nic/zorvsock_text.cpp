// Exported helpers that need no session: addresses as text, build identity.
#include <cctype>
#include <cstdio>

#include "build_githash.h"
#include "zorvsock.h"

namespace {

// One dotted part at *p: a decimal run (at most 255), or 0 for an empty part.
// Returns false for a part that is neither.
bool read_part(const char*& p, uint32_t* value) {
  *value = 0;
  if (*p == '.') return true;
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  while (isdigit(static_cast<unsigned char>(*p))) {
    *value = *value * 10 + uint32_t(*p++ - '0');
    if (*value > 255) return false;
  }
  return true;
}

}  // namespace

extern "C" uint32_t zorvsock_str2ip(const char* text) {
  if (!text) return 0;
  const char* p = text;
  uint32_t ip = 0;
  for (int i = 0; i < 3; ++i) {
    uint32_t part;
    if (!read_part(p, &part) || *p != '.') return 0;
    ++p;
    ip = ip << 8 | part;
  }
  // The fourth part ends the parse; what follows it is not read.
  uint32_t last = 0;
  if (isdigit(static_cast<unsigned char>(*p)) && !read_part(p, &last)) return 0;
  return ip << 8 | last;
}

extern "C" char* zorvsock_ip2str(char* buf, uint32_t ip) {
  if (!buf) return nullptr;
  snprintf(buf, 16, "%d.%d.%d.%d", int(ip >> 24), int(ip >> 16 & 0xFF), int(ip >> 8 & 0xFF),
           int(ip & 0xFF));
  return buf;
}

extern "C" uint32_t zorvsock_get_githash(void) { return kvel::build_githash(); }

extern "C" int zorvsock_get_lib_version(void) {
  fputs("This function is not implemented yet\n", stderr);
  return 0;
}

extern "C" uint64_t zorvsock_bk_tsc(void) { return 0; }
