// The preload library opened by a benchmark with dlopen (tracing off): its entry points
// are then reached through dlsym while the benchmark's plain calls still go to the C
// library. It is looked up beside the benchmark's build directory, or at $ZORVLOAD_LIB.
#pragma once
#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace card_bench {

// The library's handle; null when it cannot be opened.
inline void* open_zorvload() {
  std::string path;
  if (const char* lib = getenv("ZORVLOAD_LIB")) {
    path = lib;
  } else {
    char exe[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string dir(exe, n > 0 ? size_t(n) : 0);
    path = dir.substr(0, dir.rfind('/')) + "/../preload/libzorvload.so";
  }
  setenv("NOTRACE", "1", 1);
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace card_bench
