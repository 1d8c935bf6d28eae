#include "status_text.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace kvel {

void append_format(std::string& out, const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(buf, n < int(sizeof buf) ? size_t(n) : sizeof buf - 1);
}

void write_stdout(const std::string& text) {
  ssize_t ignored = write(1, text.data(), text.size());
  (void)ignored;
}

}  // namespace kvel
