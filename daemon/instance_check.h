// The single-instance rule of zorvnic_daemon.
#pragma once

namespace zorvd {

// True when another process runs an executable of the same base name as this one,
// from whatever directory, also one replaced on disk since it started. The name is
// taken from /proc/<pid>/exe, not from the command line: a program merely called like
// the daemon, or whose name only contains the daemon's, is not an instance. When /proc
// cannot be read, says so and answers false: not knowing is no reason to refuse to
// start.
bool other_instance_running();

}  // namespace zorvd
