// The single-instance rule of zorvnic_daemon.
#pragma once

namespace zorvd {

// True when another process runs the same executable as this one. The executable is
// compared by what /proc/<pid>/exe names, not by command line: a program merely named
// like the daemon is not an instance. When /proc cannot be read, says so and answers
// false: not knowing is no reason to refuse to start.
bool other_instance_running();

}  // namespace zorvd
