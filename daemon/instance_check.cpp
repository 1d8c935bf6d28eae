#include "instance_check.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zorvd {
namespace {

// What /proc/<pid>/exe names, empty when it cannot be read (the process has ended, or
// it belongs to a user whose links we may not follow).
std::string executable_of(const std::string& pid) {
  char path[PATH_MAX];
  const ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), path, sizeof path - 1);
  return n > 0 ? std::string(path, size_t(n)) : std::string();
}

bool is_pid(const char* name) {
  if (!*name) return false;
  for (const char* c = name; *c; ++c)
    if (*c < '0' || *c > '9') return false;
  return true;
}

}  // namespace

bool other_instance_running() {
  const std::string self = executable_of("self");
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
    if (executable_of(e->d_name) == self) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

}  // namespace zorvd
