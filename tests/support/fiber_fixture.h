// Helpers for card tests of the register pages: a device descriptor aimed at one port,
// the simulator's view of fiber and global registers (another process's view), and
// per-interface files in /etc/vyx/zorvnic.
#pragma once
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "test_support.h"

namespace zt {

// A descriptor of the device whose fiber page is that of port `port` (the driver maps
// the port named by the last KVEL_GET_FIBER on a descriptor without a session).
struct port_fd {
  int fd = -1;
  int fiber = -1;

  port_fd(const std::string& dev_path, int port) {
    fd = kvel::kvel_dev_open(dev_path.c_str());
    int f = port;
    if (fd >= 0 && kvel::kvel_dev_ioctl(fd, kvel::KVEL_GET_FIBER, &f) == 0) fiber = f;
  }
  ~port_fd() {
    if (fd >= 0) kvel::kvel_dev_close(fd);
  }
  port_fd(const port_fd&) = delete;
  port_fd& operator=(const port_fd&) = delete;
};

inline uint64_t sim_reg(const std::string& what) {
  cmd_result r = sim_ctl(what);
  EXPECT_EQ(r.status, 0) << what << ": " << r.out;
  return strtoull(r.out.c_str(), nullptr, 0);
}

// Register `reg` of the fiber page of port k (global index), as the simulator sees it.
inline uint64_t fiber_get(int k, int reg) {
  return sim_reg("fiber-get " + std::to_string(k) + " " + std::to_string(reg));
}
inline void fiber_set(int k, int reg, uint64_t v) {
  cmd_result r = sim_ctl("fiber-set " + std::to_string(k) + " " + std::to_string(reg) + " " +
                         std::to_string(v));
  EXPECT_EQ(r.status, 0) << r.out;
}
inline uint64_t global_get(const std::string& dev_id, int reg) {
  return sim_reg("global-get " + dev_id + " " + std::to_string(reg));
}
inline void global_set(const std::string& dev_id, int reg, uint64_t v) {
  cmd_result r = sim_ctl("global-set " + dev_id + " " + std::to_string(reg) + " " +
                         std::to_string(v));
  EXPECT_EQ(r.status, 0) << r.out;
}

// Writes /etc/vyx/zorvnic/<ifname> (the launcher's /etc/vyx is private).
inline void write_ts_config(const std::string& ifname, const std::string& text) {
  mkdir("/etc/vyx", 0755);
  mkdir("/etc/vyx/zorvnic", 0755);
  std::ofstream("/etc/vyx/zorvnic/" + ifname) << text;
}
// Open descriptors of this process (the listing's own included).
inline int open_fd_count() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d && readdir(d)) ++n;
  if (d) closedir(d);
  return n;
}

inline void remove_ts_config(const std::string& ifname) {
  std::remove(("/etc/vyx/zorvnic/" + ifname).c_str());
}

}  // namespace zt
