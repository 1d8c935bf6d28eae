// Many connections at once over one card port, against the Linux kernel in the peer
// namespace: half opened by us, half by the peer through one listener, each with its
// own worker thread and data both ways; then half closed with FINs and half released
// while established. The process holds no thread, descriptor or mapping of them
// afterwards, and the peer's kernel holds no connection.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "process_resources.h"
#include "tcp_wire_fixture.h"

namespace {

constexpr int ACTIVE = 16, PASSIVE = 16;
constexpr uint16_t PEER_PORT = 7700;  // the peer's listener, for our connects
constexpr uint16_t OUR_PORT = 7701;   // our listener, for the peer's connects
constexpr size_t OUT_BYTES = 5000, IN_BYTES = 4000;

uint16_t local_port_of(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}
uint16_t remote_port_of(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// One connection: our handle and the peer kernel's socket of it.
struct connection {
  std::unique_ptr<zt::handle_ptr> ours = std::make_unique<zt::handle_ptr>();
  int peer = -1;
  uint16_t our_port() const { return ours->h->tcp_hw.local_port_; }
};

class TcpMany : public zt::tcp_api_test {
 protected:
  void TearDown() override {
    for (connection& c : conns_)
      if (c.peer >= 0) close(c.peer);
    if (peer_listener_ >= 0) close(peer_listener_);
  }

  // Our connects to the peer's listener, each matched with the socket the peer
  // accepted for it.
  void open_active() {
    peer_listener_ = zt::peer_tcp_listener(PEER_PORT);
    ASSERT_GE(peer_listener_, 0);
    std::vector<connection> mine(ACTIVE);
    for (connection& c : mine)
      ASSERT_EQ(zorvsock_tcp_connect(c.ours->h, "kvel0", 0, zt::PEER_IP, PEER_PORT), 0);
    for (connection& c : mine)
      ASSERT_EQ(zt::wait_state(c.ours->h, ZORVSOCK_TCP_ESTABLISHED), ZORVSOCK_TCP_ESTABLISHED);
    for (int i = 0; i < ACTIVE; ++i) {
      const int fd = accept(peer_listener_, nullptr, nullptr);
      ASSERT_GE(fd, 0) << strerror(errno);
      zt::set_receive_timeout(fd, 5);
      auto it = std::find_if(mine.begin(), mine.end(), [&](const connection& c) {
        return c.peer < 0 && c.our_port() == remote_port_of(fd);
      });
      ASSERT_NE(it, mine.end()) << remote_port_of(fd);
      it->peer = fd;
    }
    for (connection& c : mine) conns_.push_back(std::move(c));
  }

  // The peer's connects to our listener, accepted into fresh handles.
  void open_passive(zorvsock_handle* listener) {
    std::vector<int> peers;
    for (int i = 0; i < PASSIVE; ++i) {
      peers.push_back(zt::peer_tcp_connect_start(OUR_PORT));
      ASSERT_GE(peers.back(), 0);
    }
    for (int i = 0; i < PASSIVE; ++i) {
      connection c;
      ASSERT_TRUE(zt::wait_until([&] { return zorvsock_tcp_accept_ready(listener) == 1; }, 5000));
      ASSERT_EQ(zorvsock_tcp_accept(listener, c.ours->h), 0);
      uint32_t ip;
      uint16_t port;
      ASSERT_EQ(zorvsock_tcp_get_peer(c.ours->h, &ip, &port), 0);
      auto it = std::find_if(peers.begin(), peers.end(),
                             [&](int fd) { return fd >= 0 && local_port_of(fd) == port; });
      ASSERT_NE(it, peers.end()) << port;
      c.peer = *it;
      *it = -1;
      ASSERT_TRUE(zt::peer_tcp_connect_finish(c.peer));
      conns_.push_back(std::move(c));
    }
  }

  std::vector<connection> conns_;
  int peer_listener_ = -1;
};

TEST_F(TcpMany, ThirtyTwoConnectionsCarryDataAndLeaveNothingBehind) {
  const zt::process_resources before;
  {
    zt::handle_ptr listener;
    ASSERT_EQ(zorvsock_tcp_create_listener(listener.h, "kvel0", OUR_PORT), 0);
    open_active();
    ASSERT_FALSE(HasFatalFailure());
    open_passive(listener.h);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(conns_.size(), size_t(ACTIVE + PASSIVE));
    // One worker thread per connection, nothing else.
    EXPECT_EQ(zt::process_resources().tasks.size(), before.tasks.size() + ACTIVE + PASSIVE);

    // Everything in flight at once: all sends first, then all receives.
    for (connection& c : conns_) EXPECT_EQ(zt::send_pattern(c.ours->h, OUT_BYTES), OUT_BYTES);
    for (connection& c : conns_) EXPECT_EQ(zt::peer_send_pattern(c.peer, IN_BYTES), IN_BYTES);
    for (size_t i = 0; i < conns_.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(zt::peer_receive_pattern(conns_[i].peer, OUT_BYTES), OUT_BYTES);
      const zt::receive_result r = zt::receive_pattern(conns_[i].ours->h, IN_BYTES);
      EXPECT_EQ(r.bytes, IN_BYTES);
      EXPECT_EQ(r.first_bad, -1);
    }

    // Even ones close with FINs both ways, then are released in TIME_WAIT; odd ones
    // are released while established and reset.
    for (size_t i = 0; i < conns_.size(); i += 2) {
      EXPECT_EQ(zorvsock_tcp_disconnect(conns_[i].ours->h), 0);
      EXPECT_EQ(zt::peer_next_event(conns_[i].peer), "eof") << i;
      shutdown(conns_[i].peer, SHUT_WR);
    }
    for (size_t i = 0; i < conns_.size(); i += 2)
      EXPECT_EQ(zt::wait_state(conns_[i].ours->h, ZORVSOCK_TCP_TIME_WAIT), ZORVSOCK_TCP_TIME_WAIT)
          << i;
    for (connection& c : conns_) c.ours.reset();
    for (size_t i = 1; i < conns_.size(); i += 2)
      EXPECT_EQ(zt::peer_next_event(conns_[i].peer), "reset") << i;
  }
  // The peer's sockets are the test's own descriptors.
  for (connection& c : conns_) {
    close(c.peer);
    c.peer = -1;
  }
  close(peer_listener_);
  peer_listener_ = -1;
  zt::expect_same_resources(before);
  // The peer's kernel holds nothing of them.
  const std::vector<std::string> states = zt::peer_tcp_states(
      "sport = :" + std::to_string(PEER_PORT) + " or dport = :" + std::to_string(OUR_PORT));
  EXPECT_EQ(states, std::vector<std::string>{});
}

}  // namespace
