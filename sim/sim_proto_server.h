// The device nodes: one listening socket per device, and the loop that serves the
// messages of every connection (one descriptor each) on one thread, one at a time and
// in the order each connection sent them: requests, each answered by one reply, and
// write events, answered by none.
#pragma once
#include <map>
#include <memory>
#include <string>

#include "sim_card.h"
#include "sim_conn.h"

namespace zsim {

class sim_proto_server {
 public:
  explicit sim_proto_server(sim_card& card) : card_(card) {}
  sim_proto_server(const sim_proto_server&) = delete;
  sim_proto_server& operator=(const sim_proto_server&) = delete;
  // Closes every connection and removes the nodes.
  ~sim_proto_server();

  bool open_nodes(std::string* error);
  // Serves until stop_fd becomes readable.
  void run(int stop_fd);

 private:
  void accept_all(int listen_fd, sim_device* dev);
  void serve(sim_conn& conn);
  void drop(int fd);

  sim_card& card_;
  int epoll_fd_ = -1;
  std::map<int, sim_device*> listeners_;
  std::map<int, std::unique_ptr<sim_conn>> conns_;
};

}  // namespace zsim
