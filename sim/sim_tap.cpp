#include "sim_tap.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace zsim {
namespace {

ifreq named_ifreq(const std::string& name) {
  ifreq ifr{};
  strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
  return ifr;
}

}  // namespace

int tap_open(const std::string& name) {
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  ifreq ifr = named_ifreq(name);
  ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
  if (ioctl(fd, TUNSETIFF, &ifr) == 0) return fd;
  int err = errno;
  close(fd);
  errno = err;
  return -1;
}

bool tap_set_mac(int tap_fd, uint64_t mac) {
  ifreq ifr{};
  ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
  for (int i = 0; i < 6; ++i) ifr.ifr_hwaddr.sa_data[i] = char(mac >> (40 - 8 * i) & 0xFF);
  return ioctl(tap_fd, SIOCSIFHWADDR, &ifr) == 0;
}

bool tap_set_carrier(int tap_fd, bool on) {
  int value = on;
  return ioctl(tap_fd, TUNSETCARRIER, &value) == 0;
}

bool iface_is_up(int query_fd, const std::string& name) {
  ifreq ifr = named_ifreq(name);
  return ioctl(query_fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_UP);
}

bool run_in_netns(int netns_fd, const std::function<bool()>& fn) {
  bool result = false;
  int err = 0;
  // Only the helper thread changes namespace; the process's other threads stay.
  std::thread helper([&] {
    int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (setns(netns_fd, CLONE_NEWNET) != 0) {
      err = errno;
    } else {
      result = fn();
      err = errno;
      if (home >= 0) setns(home, CLONE_NEWNET);
    }
    if (home >= 0) close(home);
  });
  helper.join();
  errno = err;
  return result;
}

}  // namespace zsim
