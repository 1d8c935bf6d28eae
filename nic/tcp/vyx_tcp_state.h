// The engine's internal TCP states, their trace names and their public numbering.
#pragma once

namespace vyxtcp {

// Internal states, numbered in the order of the Linux kernel's TCP states.
enum : int {
  TCP_ESTABLISHED = 1,
  TCP_SYN_SENT = 2,
  TCP_SYN_RECV = 3,
  TCP_FIN_WAIT1 = 4,
  TCP_FIN_WAIT2 = 5,
  TCP_TIME_WAIT = 6,
  TCP_CLOSE = 7,
  TCP_CLOSE_WAIT = 8,
  TCP_LAST_ACK = 9,
  TCP_LISTEN = 10,
  TCP_CLOSING = 11,
};

// The name the state-change trace prints.
constexpr const char* tcp_state_name(int internal) {
  constexpr const char* names[12] = {
      "TCP_UNKNOWN",  "TCP_ESTABLISHED", "TCP_SYN_SENT", "TCP_SYN_RECV",
      "TCP_FIN_WAIT1", "TCP_FIN_WAIT2",  "TCP_TIME_WAIT", "TCP_CLOSE",
      "TCP_CLOSE_WAIT", "TCP_LAST_ACK",  "TCP_LISTEN",    "TCP_CLOSING"};
  return internal >= 1 && internal <= 11 ? names[internal] : names[0];
}

// The public state (zorvsock_tcp_get_status) of an internal state.
constexpr int tcp_public_state(int internal) {
  constexpr int map[12] = {0, 5, 4, 3, 8, 9, 11, 1, 6, 7, 2, 10};
  return internal >= 1 && internal <= 11 ? map[internal] : 0;
}

// No timer leaves these states; the handle's release ends them.
constexpr bool tcp_final_state(int internal) {
  return internal == TCP_CLOSE || internal == TCP_TIME_WAIT || internal == TCP_CLOSING;
}

// States in which our side may still send data: the peer's FIN does not end it.
constexpr bool tcp_send_open(int internal) {
  return internal == TCP_ESTABLISHED || internal == TCP_CLOSE_WAIT;
}

// States in which the peer may still send data: ours or its FIN does not end it.
constexpr bool tcp_receive_open(int internal) {
  return internal == TCP_ESTABLISHED || internal == TCP_FIN_WAIT1 || internal == TCP_FIN_WAIT2;
}

// From the end of the handshake until the connection is final: data of either side may
// still be in flight, and the driver's reset on release stays armed.
constexpr bool tcp_connected(int internal) {
  return tcp_send_open(internal) || tcp_receive_open(internal) || internal == TCP_LAST_ACK;
}

// States in which our FIN is out and not yet acknowledged: the FIN resend schedule runs.
constexpr bool tcp_fin_unacked(int internal) {
  return internal == TCP_FIN_WAIT1 || internal == TCP_CLOSING || internal == TCP_LAST_ACK;
}

}  // namespace vyxtcp
