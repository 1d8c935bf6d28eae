#include "status_text.h"

#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "plain_output.h"

namespace kvel {

void append_format(std::string& out, const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(buf, n < int(sizeof buf) ? size_t(n) : sizeof buf - 1);
}

void append_value(std::string& out, const char* label, int64_t value) {
  append_format(out, "%s%lld\n", label, (long long)value);
}

void append_value(std::string& out, const char* label, uint64_t value) {
  append_format(out, "%s%llu\n", label, (unsigned long long)value);
}

void append_value(std::string& out, const char* label, int32_t value) {
  append_value(out, label, int64_t(value));
}

void write_plain(const std::string& text) {
  ssize_t ignored = write(plain_output_fd(), text.data(), text.size());
  (void)ignored;
}

void write_stderr(const char* text, size_t len) {
  ssize_t ignored = write(2, text, len);
  (void)ignored;
}

bool status_pause(const std::atomic<uint8_t>& running) {
  constexpr auto period = std::chrono::seconds(1);
  constexpr auto check = std::chrono::milliseconds(20);
  const auto until = std::chrono::steady_clock::now() + period;
  while (std::chrono::steady_clock::now() < until) {
    if (running.load() == 0) return false;
    std::this_thread::sleep_for(check);
  }
  return running.load() != 0;
}

}  // namespace kvel
