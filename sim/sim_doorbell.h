// The TCP sessions' ACK doorbells: the device-access layer puts each write of the
// register in the session's event queue (kvel_sim_events.h); the datapath takes them in
// order, each one pure ACK, and tells the queues when it sleeps so that the next write
// wakes it.
#pragma once
#include "sim_session.h"
#include "sim_session_table.h"

namespace zsim {

// A TCP session's queue, made empty and marked as though the datapath slept (it may,
// before it first looks at the session); false when memory runs out.
bool doorbell_create(sim_session& s);
// Sends the ACK of every write waiting in the session's queue, whose writers need not
// wake the datapath from now on; the number of writes. The caller holds the session
// table's mutex and is awake.
int doorbell_drain(sim_session& s);
// The datapath is about to sleep: every TCP session's queue is told so. False, with
// them told otherwise again, when a write came meanwhile.
bool doorbells_sleep(sim_session_table& table);

}  // namespace zsim
