#include "instance_check.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zorvd {
namespace {

constexpr char DELETED[] = " (deleted)";

// The base name of what /proc/<pid>/exe names, empty when it cannot be read (the
// process has ended, or it is a kernel thread). A program replaced since it started
// (an upgrade) reads "<path> (deleted)": it is still the program of that name.
std::string executable_name(const std::string& pid) {
  char path[PATH_MAX];
  const ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), path, sizeof path - 1);
  if (n <= 0) return std::string();
  std::string exe(path, size_t(n));
  const size_t tail = sizeof DELETED - 1;
  if (exe.size() > tail && exe.compare(exe.size() - tail, tail, DELETED) == 0)
    exe.resize(exe.size() - tail);
  return exe.substr(exe.rfind('/') + 1);
}

bool is_pid(const char* name) {
  if (!*name) return false;
  for (const char* c = name; *c; ++c)
    if (*c < '0' || *c > '9') return false;
  return true;
}

}  // namespace

bool other_instance_running() {
  const std::string self = executable_name("self");
  DIR* proc = opendir("/proc");
  if (!proc || self.empty()) {
    if (proc) closedir(proc);
    puts("kvel: Cannot read /proc, not checking for other instances of zorvnic_daemon");
    return false;
  }
  const std::string own = std::to_string(getpid());
  bool found = false;
  while (const dirent* e = readdir(proc)) {
    if (!is_pid(e->d_name) || own == e->d_name) continue;
    if (executable_name(e->d_name) == self) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

}  // namespace zorvd
