// A listener: the driver's SYN queue for one local address and port.
#pragma once
#include <string>

namespace vyxtcp {

struct tcp_listener {
  int fd_ = -1;
  std::string ifname_;
  const volatile int* status_ = nullptr;  // pending-connection count page, read-only

  void release();
};

}  // namespace vyxtcp
