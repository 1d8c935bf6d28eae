// The exported delay query: a port's PMA/PCS/MAC delays in ps with the interface's
// corrections applied, for tools that stamp packets themselves (zorv_dump).
#include <cstdio>

#include "devname.h"
#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "ts_adjust.h"
#include "zorvsock.h"

extern "C" int zorvsock_get_pmapcsmac_delays(const char* ifname, uint64_t* tx_ps,
                                             uint64_t* rx_ps) {
  if (!tx_ps || !rx_ps) return -22;
  kvel::vlan_name v = kvel::split_vlan_name(ifname);
  kvel::fiber_device dev = kvel::resolve_interface(v.name.c_str());
  // An unresolved name has an empty path, so it fails here.
  int fd = kvel::kvel_dev_open(dev.dev_path.c_str(), false);
  if (fd < 0) {
    fprintf(stderr, "Open error %m\n");
    return -1;
  }
  int fiber = dev.fiber;
  if (kvel::kvel_dev_ioctl(fd, kvel::KVEL_GET_FIBER, &fiber) != 0) {
    fprintf(stderr, "ioctl error: %m\n");
    kvel::kvel_dev_close(fd);
    return -1;
  }
  kvel::ts_adjustment_config cfg{};
  kvel::read_ts_config(cfg, ifname);  // the file of the full name, VLAN suffix included
  int64_t tx_delay = 0, rx_delay = 0;
  kvel::read_port_delays(fd, fiber, &tx_delay, &rx_delay);
  int64_t tx = 0, rx = 0;
  kvel::compute_ts_delays_ps(cfg, tx_delay, rx_delay, &tx, &rx);
  *tx_ps = uint64_t(tx);  // a negative sum stays its two's complement
  *rx_ps = uint64_t(rx);
  kvel::kvel_dev_close(fd);
  return 0;
}
