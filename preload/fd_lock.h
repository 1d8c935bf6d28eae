// The descriptor table and its locking. Two designs implement this interface, one file
// each: fd_lock_mutex.cpp (one call at a time per descriptor: its owner thread enters
// without a locked instruction, others through its mutex) and fd_lock_global.cpp (one
// global mutex for close, a wait in close for the calls inside,
// and liveness checks in blocking loops). Both keep locked instructions off the path of
// a call by the usual thread (slot_owner.h says why).
#pragma once
#include "socket_record.h"

namespace kvel {

// Descriptors 0..65535 have a slot. The table is zero-initialised static storage, which
// the kernel backs with memory only where a slot is touched, so a process with few
// sockets pays for a few pages; a descriptor beyond it stays the kernel's (an accepted
// connection that would land there is refused with EMFILE).
inline constexpr int fd_table_size = 65536;

// The record of fd without any lock; null for fd outside the table or an empty slot.
socket_record* lookup_socket_record(int fd);

// One past the highest descriptor that was ever given a record: the passes over the
// table stop there instead of touching every slot.
int fd_table_end();
// Called by both designs when fd gets a record.
void note_slot_used(int fd);

// Readies a managed descriptor for its handler: true when fd has a record that is still
// there under the design's lock, which the handler then gives back with release_slot.
bool claim_slot(int fd);
void release_slot(int fd);

// The same without waiting, for the readiness sweeps: a member that another call holds
// (a blocking receive between its polls) is tested again in the next sweep, so that the
// wait keeps its deadline and sees the other members meanwhile.
enum class slot_claim { claimed, empty, busy };
slot_claim try_claim_slot(int fd);

// Stores a new record in the slot of fd (inside the table) under the design's lock. A slot that
// is unexpectedly occupied is reported and overwritten.
void assign_fd_slot(socket_record* record, int fd);

// close: entered with the slot claimed; empties the slot, gives it back and returns the
// record once no call can still be using it.
socket_record* take_record_for_close(int fd);

// The generation of fd's slot, read with the slot claimed: it changes whenever the slot
// is given a record or emptied, so that it names the record a call started with.
uint32_t slot_generation(int fd);

// A blocking call gives its slot up between polls, so that the other calls on the same
// descriptor (a writer beside a reader, close, shutdown) go on. Entered
// with the slot claimed; true with the slot claimed again when it still holds the record
// of `generation`, false with the slot given back when the descriptor was closed meanwhile.
bool pause_slot(int fd, uint32_t generation);
// The second half of a pause, for a wait that does more while the slot is given up.
bool reclaim_slot(int fd, uint32_t generation);

// A forked child has only the thread that forked: locks that other threads held at that
// moment would never be released, so the child starts with all of them free.
void reset_locks_after_fork();

}  // namespace kvel
