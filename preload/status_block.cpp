#include "status_block.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string_view>
#include <unistd.h>

#include "zorvsock.h"

namespace kvel {

namespace {

constexpr size_t read_buffer_size = 32768;
constexpr size_t library_list_size = 8192;

// Appends formatted sections at the end of the text, never past the buffer.
struct text_out {
  char* buf;
  size_t size;
  size_t len = 0;

  [[gnu::format(printf, 2, 3)]] void add(const char* fmt, ...) {
    if (len + 1 >= size) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + len, size - len, fmt, ap);
    va_end(ap);
    if (n > 0) len = std::min(size - 1, len + size_t(n));
  }
};

size_t read_file(const char* path, char* buf, size_t size) {
  buf[0] = '\0';
  FILE* f = fopen(path, "re");
  if (f == nullptr) return 0;
  size_t n = fread(buf, 1, size - 1, f);
  fclose(f);
  buf[n] = '\0';
  return n;
}

// /proc/<pid>/cmdline holds the arguments separated by zero bytes: the text read shows
// the first argument only.
void add_cmdline(text_out& out, const char* label, pid_t pid, char* scratch) {
  char path[256];
  snprintf(path, sizeof path, "/proc/%d/cmdline", int(pid));
  read_file(path, scratch, read_buffer_size);
  out.add("%s: %s\n", label, scratch);
}

void add_libc_version(text_out& out) {
  auto version = reinterpret_cast<const char* (*)()>(dlsym(RTLD_NEXT, "gnu_get_libc_version"));
  if (version != nullptr) out.add("glibc version string: %s\n", version());
}

void add_libraries(text_out& out, char* scratch) {
  if (read_proc_file("maps", scratch, read_buffer_size) == 0) return;
  char* list = static_cast<char*>(malloc(library_list_size));
  if (list == nullptr) return;
  list_libraries(scratch, list, library_list_size);
  out.add("libs(maps):\n %s", list);
  free(list);
}

void add_hostname(text_out& out, char* scratch) {
  if (gethostname(scratch, read_buffer_size) != 0) return;
  scratch[read_buffer_size - 1] = '\0';
  out.add("hostname: %s\n", scratch);
}

}  // namespace

size_t read_proc_file(const char* name, char* buf, size_t size) {
  char path[256];
  snprintf(path, sizeof path, "/proc/%d/%s", int(getpid()), name);
  return read_file(path, buf, size);
}

size_t list_libraries(const char* maps, char* out, size_t out_size) {
  size_t len = 0;
  std::string_view last;
  out[0] = '\0';
  std::string_view text(maps);
  while (!text.empty()) {
    size_t start = text.find_first_not_of(" \t\n");
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    std::string_view token = text.substr(0, text.find_first_of(" \t\n"));
    text.remove_prefix(token.size());
    if (token.find(".so") == std::string_view::npos || token == last) continue;
    if (len + token.size() + 2 > out_size) break;
    memcpy(out + len, token.data(), token.size());
    last = std::string_view(out + len, token.size());
    len += token.size();
    out[len++] = '\n';
    out[len] = '\0';
  }
  return len;
}

size_t format_status_block(char* buf, size_t size) {
  if (size == 0) return 0;
  buf[0] = '\0';
  char* scratch = static_cast<char*>(malloc(read_buffer_size));
  if (scratch == nullptr) return 0;
  text_out out{buf, size};
  out.add("zorvsock githash %X\n", zorvsock_get_githash());
  add_libc_version(out);
  read_proc_file("cgroup", scratch, read_buffer_size);
  out.add("cgroup: %s\n", scratch);
  add_cmdline(out, "cmdline", getpid(), scratch);
  add_cmdline(out, "parent cmdline", getppid(), scratch);
  if (const char* full = getenv("ZORVLOAD_FULL_CMDLINE")) out.add("full cmdline: %s\n", full);
  read_proc_file("net/dev", scratch, read_buffer_size);
  out.add("net/dev:\n %s", scratch);
  read_proc_file("net/route", scratch, read_buffer_size);
  out.add("net/route:\n %s", scratch);
  add_libraries(out, scratch);
  add_hostname(out, scratch);
  read_file("/proc/cpuinfo", scratch, read_buffer_size);
  out.add("cpuinfo:\n %s", scratch);
  read_file("/etc/os-release", scratch, read_buffer_size);
  out.add("os-release:\n %s", scratch);
  free(scratch);
  return out.len;
}

}  // namespace kvel
