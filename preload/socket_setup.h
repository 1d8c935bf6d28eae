// What connect, bind, listen and accept share: the handle of a record, the local port
// held by the socket's kernel twin, the ends of a handler (result line, slot given back)
// and the hand-over of a socket to the kernel.
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

#include "socket_record.h"

namespace kvel {

// A fresh handle carrying the record's TTLs; null when none could be acquired.
zorvsock_handle* init_handle(const socket_record* record);

// The record's handle, acquired on first need and then given the record's receive ring
// size (which a configured handle no longer takes).
// False when none could be acquired.
bool ensure_handle(socket_record* record);

// Makes the record's fresh handle its UDP session on local_port, towards the connected
// destination if there is one: a session of the group the socket joined (whose
// membership the kernel twin holds), or else a plain one. 0 or a negative errno value.
int configure_udp_session(socket_record* record);

// Binds the kernel twin of fd to addr:port, which reserves the port in the kernel (and
// keeps it should the socket later fall back), and notes the twin's name in r: the port
// bound, or 0 with errno set as the kernel says (EADDRINUSE, ...).
uint16_t bind_kernel_twin(int fd, socket_record* r, uint32_t addr, uint16_t port);

// The handler's end: gives the slot back, writes the result line; err non-zero fails
// with it.
int leave_handler(const char* name, int fd, int err);

// Empties fd's slot and frees the record with its handle, giving the slot back: from
// now on fd is a plain kernel socket, which the epoll sets that have it as a member
// register with their kernel sets.
void drop_record(int fd);

// drop_record, with the reason logged and a trace line naming the call that the kernel
// now takes.
void fall_back(const char* name, int fd, const char* reason);

// A sockaddr_in of addr:port (host order), sin_zero cleared.
sockaddr_in make_inet_address(uint32_t addr, uint16_t port);

// Writes name into the caller's addr/addrlen as the kernel does: at most *addrlen bytes,
// *addrlen set to the full size. 0, or EFAULT for an unusable pointer and EINVAL for a
// negative length.
int copy_name_out(const sockaddr_in& name, sockaddr* addr, socklen_t* addrlen);

// The address of ZORVLOAD_BIND_INTERFACE, which stands in for a bind to any address;
// 0 when unset or not a usable dotted address.
uint32_t default_bind_address();

}  // namespace kvel
