// What the option handlers share: one setsockopt or getsockopt call on a claimed
// descriptor, the reading of its value, and the hand-over of a socket to the kernel.
#pragma once
#include <sys/socket.h>

#include "socket_record.h"

namespace kvel {

struct option_call {
  int fd;
  socket_record* rec;
  int level;
  int name;
  const void* value;  // the caller's optval (setsockopt)
  socklen_t len;      // the caller's optlen (setsockopt)
  const char* reason;  // set when the socket must go to the kernel instead
  // The kernel twin's answer to this call, asked at most once (kernel_option).
  bool kernel_asked;
  int kernel_err;
};

// The int at the caller's optval: false when optval is null or unreadable.
bool read_option_int(const option_call& o, int* value);

// The option on the kernel twin with the caller's arguments: 0, or the kernel's errno.
// Asked once per call: a socket not yet on the card has asked before the card's rules.
int kernel_option(option_call& o);

// The options the program set on the kernel twin of listener (at from) onto to's, the
// twin of a connection it accepted.
void copy_twin_options(int from, const socket_record* listener, int to);

// IP_ADD_MEMBERSHIP and IP_MULTICAST_IF (multicast_options.cpp): 0, an errno value, or
// 0 with o.reason set when the socket goes to the kernel.
int add_membership(option_call& o);
int set_multicast_interface(option_call& o);

// SO_ERROR of a card connection (shutdown_names.cpp, beside the connection's other state).
int connection_error(socket_record* r);
// The same without the trace line, for a receive that finds the connection closed.
int take_connection_error(socket_record* r);

}  // namespace kvel
