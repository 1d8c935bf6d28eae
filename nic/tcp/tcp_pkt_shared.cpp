#include "tcp_pkt_shared.h"

#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <mutex>
#include <vector>

#include "sys_calls.h"
#include "tcp_pkt_sock.h"

namespace kvel {
namespace {

struct shared_socket {
  int ifindex;
  int fd;
  int users;
};

// Taken by every session's set-up and release, on whichever thread runs them.
std::mutex table_mutex;
std::vector<shared_socket> table;  // guarded by table_mutex

int open_bound(int ifindex) {
  int fd = open_send_only_packet_socket();
  if (fd < 0) fd = receive_handed_packet_socket();
  if (fd < 0) return -1;
  fd = sys_lift_private(fd, true);  // kept while any session on the interface lives
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_protocol = htons(ETH_P_ALL);
  addr.sll_ifindex = ifindex;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

}  // namespace

int pkt_socket_acquire(int ifindex) {
  if (ifindex <= 0) return -1;
  std::lock_guard<std::mutex> lock(table_mutex);
  for (shared_socket& s : table)
    if (s.ifindex == ifindex) {
      ++s.users;
      return s.fd;
    }
  const int fd = open_bound(ifindex);
  if (fd >= 0) table.push_back({ifindex, fd, 1});
  return fd;
}

void pkt_socket_release(int fd) {
  if (fd < 0) return;
  std::lock_guard<std::mutex> lock(table_mutex);
  for (auto it = table.begin(); it != table.end(); ++it)
    if (it->fd == fd) {
      if (--it->users == 0) {
        close(fd);
        table.erase(it);
      }
      return;
    }
  close(fd);
}

}  // namespace kvel
