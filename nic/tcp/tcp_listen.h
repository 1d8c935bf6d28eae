// A listener: the driver's SYN queue for one local address and port, and the passive
// open that turns one queued SYN into a connection.
#pragma once
#include <cstdint>
#include <string>

namespace vyxtcp {

struct tcp_hw_session;
template <typename Session>
struct sw_tcp;

struct tcp_listener {
  int fd_ = -1;  // device descriptor holding the registration
  uint16_t port_ = 0;
  std::string ifname_;    // as passed, VLAN suffix included
  uint64_t tx_log_size_ = 0;  // given to every accepted connection
  const volatile int* status_ = nullptr;  // pending-connection count page, read-only

  // Registers the listener for (ifname, port): the registration's result (0 or more),
  // or -1 when the interface or the device cannot be used. What was opened stays for
  // release().
  int init(const char* ifname, uint16_t port, uint64_t tx_log_size);
  // Takes one queued SYN into `tcp` (whose session is `hw`), answers it and waits for
  // the handshake: 0, -11 nothing queued, -107 handshake not done in time, else
  // negative. A failure after the session was set up gives the session and the worker
  // back, so the engine can serve a later passive open.
  int accept_syn(sw_tcp<tcp_hw_session>& tcp, tcp_hw_session& hw, uint8_t ttl);
  // The same without the wait: 0 once the SYN is answered, the handshake then runs on
  // the connection's worker (undo_passive_open gives it up); -11 nothing queued, else
  // negative.
  int answer_syn(sw_tcp<tcp_hw_session>& tcp, tcp_hw_session& hw, uint8_t ttl);
  void release();
};

// Starts the connection's worker thread (once per engine), after its first SYN or
// SYN-ACK was sent.
void start_worker(sw_tcp<tcp_hw_session>& tcp);
// The engine's control descriptor for the connection `hw` was set up for.
void fill_ctrl_desc(sw_tcp<tcp_hw_session>& tcp, const tcp_hw_session& hw);

}  // namespace vyxtcp
