// What the card tests of long TCP streams against the Linux kernel share: the stream
// peer (tcp_stream_peer, the macro ZT_TCP_STREAM_PEER naming it) running in the peer
// namespace beside the test, the simulator's counters and wire impairment, and opening
// and closing a connection to that peer.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "lossy_wire_cc.h"
#include "tcp_api_fixture.h"
#include "udp_fixture.h"
#include "udp_session_fixture.h"
#include "zorvsock.h"

namespace zt {

// tcp_stream_peer in the peer namespace, running beside the test.
struct stream_peer {
  peer_job job;

  explicit stream_peer(const std::string& args)
      : job(ZT_TCP_STREAM_PEER, args + " --ready {ready}") {}
  bool wait_ready() const {
    return wait_until([&] { return access(job.ready.c_str(), F_OK) == 0; }, 30000);
  }
  std::map<std::string, std::string> report() { return job.report(); }
};

inline uint64_t as_u64(const std::string& s) { return strtoull(s.c_str(), nullptr, 10); }

// The peer's congestion control over a lossy wire (lossy_wire_cc.h) as tcp_stream_peer
// arguments; "" with *why set when the kernel does not offer it.
inline std::string lossy_wire_cc_args(std::string* why) {
  const std::string name = lossy_wire_cc();
  if (cc_available(name)) return " --cc " + name;
  *why = "the kernel offers no " + name + " congestion control";
  return "";
}

// The simulator's impairment of port 0's wire in the directions given ("tx": toward
// the peer, "rx": from it), lifted at the end of the scope; ok false when refused.
struct sim_impairment {
  bool ok = false;
  std::vector<std::string> directions;
  explicit sim_impairment(const std::string& how,
                          std::vector<std::string> dirs = {"tx", "rx"})
      : directions(std::move(dirs)) {
    ok = true;
    for (const std::string& d : directions)
      ok = ok && sim_ctl("impair 0 " + d + " " + how).out.find("ok") == 0;
  }
  ~sim_impairment() {
    for (const std::string& d : directions) sim_ctl("impair 0 " + d + " off");
  }
};

// A connection from the card to the peer's listener on port; fatal failures when it
// is not established.
inline void connect_to(zorvsock_handle* h, stream_peer& peer, uint16_t port) {
  ASSERT_TRUE(peer.wait_ready()) << peer.job.result.out;
  ASSERT_EQ(zorvsock_tcp_connect(h, "kvel0", 0, PEER_IP, port), 0);
  ASSERT_EQ(wait_state(h, ZORVSOCK_TCP_ESTABLISHED), ZORVSOCK_TCP_ESTABLISHED);
}

// Our FIN after the data both ways; the peer answers with its own.
inline void close_ours(zorvsock_handle* h) {
  EXPECT_EQ(zorvsock_tcp_disconnect(h), 0);
  EXPECT_EQ(wait_state(h, ZORVSOCK_TCP_TIME_WAIT), ZORVSOCK_TCP_TIME_WAIT);
}

}  // namespace zt
