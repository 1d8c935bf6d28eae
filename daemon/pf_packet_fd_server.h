// The daemon's packet-socket server: every client that connects to the hand-off socket
// and is root or in the hand-off group receives one freshly made send-only packet
// socket by descriptor passing, so that those processes can send TCP control segments
// without the right to create one.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <thread>

#include "handoff_access.h"

namespace zorvd {

class pf_packet_fd_server {
 public:
  // Ends the process with status 1 when it may not create packet sockets. Otherwise
  // starts serving root and the members of group (a group that does not exist leaves
  // root alone, which it says); running() is false when the hand-off socket could not
  // be set up, which includes another root server answering on its path already. A
  // server of any other user there is no daemon of ours: its path is taken over.
  explicit pf_packet_fd_server(const char* group);
  // Stops and joins the server thread and removes the socket file when it is still the
  // one this server made.
  ~pf_packet_fd_server();
  pf_packet_fd_server(const pf_packet_fd_server&) = delete;
  pf_packet_fd_server& operator=(const pf_packet_fd_server&) = delete;

  bool running() const { return running_.load(); }

 private:
  // Set by the constructor before the thread starts; read-only afterwards.
  handoff_group group_;
  int listen_fd_ = -1;
  // The socket file this server made: another instance may have replaced it by the
  // time we stop, and its file is not ours to remove.
  dev_t file_dev_ = 0;
  ino_t file_ino_ = 0;
  std::atomic<bool> running_{false};
  std::thread thread_;

  void serve_clients();
  void remove_own_file() const;
  void restrict_file() const;
  static void hand_over(int conn);
};

}  // namespace zorvd
