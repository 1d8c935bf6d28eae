// Packet sockets for the control segments of hardware TCP connections: a raw AF_PACKET
// socket that only ever sends, and the hand-off through which zorvnic_daemon gives one
// to a process that may not create it.
//
// Hand-off: a client connects to the daemon's stream socket at PKT_HANDOFF_PATH and
// receives one message, the 8 bytes "pfpacket" with one SCM_RIGHTS descriptor, then end
// of file.
#pragma once
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>

namespace kvel {

constexpr char PKT_HANDOFF_PATH[] = "/tmp/vyx_zorvnic_daemon_uds0";
constexpr char PKT_HANDOFF_DATA[8] = {'p', 'f', 'p', 'a', 'c', 'k', 'e', 't'};
// How long a client waits for the daemon to accept and answer.
constexpr int PKT_HANDOFF_TIMEOUT_MS = 2000;

// The whole address structure of the hand-off socket.
sockaddr_un pkt_handoff_address();

// A message header of one data buffer and a control buffer.
inline msghdr one_buffer_message(iovec* iov, void* control, size_t control_len) {
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = control_len;
  return msg;
}

// Sends len bytes of data with one descriptor (SCM_RIGHTS) on the connected Unix socket
// conn; sendmsg's result. MSG_NOSIGNAL: a peer that has gone away costs no signal.
ssize_t send_with_descriptor(int conn, const void* data, size_t len, int fd);

// A raw packet socket of protocol 0, not bound, close-on-exec, with a locked filter that
// drops every frame it would receive: bound later with ETH_P_ALL to send, it still sees
// none of the interface's traffic. -1 with errno on failure.
int open_send_only_packet_socket();
// Attaches the drop-everything filter to fd and locks it. 0, or -1 with errno.
int drop_all_received(int fd);
// True when fd is a raw AF_PACKET socket.
bool is_raw_packet_socket(int fd);
// True when the process at the other end of the connected Unix socket fd ran as root
// when it connected or listened.
bool peer_is_root(int fd);
// The packet socket handed over by the daemon, or -1 (no daemon, no answer within
// PKT_HANDOFF_TIMEOUT_MS, a server that is not root, or a message that is not the
// hand-off of a packet socket). Any other local user could listen on the path before
// the daemon does, so only a root server's descriptor is taken.
int receive_handed_packet_socket();

}  // namespace kvel
