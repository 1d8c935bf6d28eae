// Making and ending socket records, and the log of sockets left to the kernel.
#pragma once
#include "socket_record.h"

namespace kvel {

// Frees a record with what it owns (its handle, an emulated set's members); null is
// nothing.
void free_record(socket_record* record);

// A zero-filled record with the TTLs not set; null when memory is short.
socket_record* alloc_socket_record();

// A record of the given kind for the kernel descriptor fd just made with these flags
// (O_NONBLOCK makes it non-blocking), not yet in its slot; null when fd failed or lies
// beyond the table (the kernel's alone then), or when memory is short (fd closed, errno
// ENOMEM and fd set to -1).
socket_record* record_for_new_fd(int& fd, record_kind kind, int flags);

// The holders of a record: every descriptor number that routes to it (dup and its
// family add one). drop_holder is true for the last, whose close ends the socket.
void add_holder(socket_record* record);
bool drop_holder(socket_record* record);

// Stores a new descriptor's record in its slot. A record still there belongs to a
// descriptor that was closed behind the interposer's back (the kernel hands its number
// out again): it is forgotten first, as its close would have ended it.
void publish_record(socket_record* record, int fd);

// Frees a record that no descriptor holds any longer, given up by the process (a forked
// child's copy of its parent's socket) or not: see free_record.
void free_unheld(socket_record* record);

// In a forked child: every card socket is marked inherited. The child gets the
// descriptor table before the parent's memory: a socket that another thread made in
// between has a record in the child but no descriptor, and its number would come back
// with the child's next socket. Such records are dropped.
void adopt_records_after_fork();

}  // namespace kvel
