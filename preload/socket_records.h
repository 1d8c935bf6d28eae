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

// A forked child gets the descriptor table before the parent's memory: a socket that
// another thread made in between has a record in the child but no descriptor, and its
// number would come back with the child's next socket. Such records are dropped.
void drop_records_lost_in_fork();

}  // namespace kvel
