// The duplicating calls (duplicates.cpp): a duplicate of a card socket shares its record.
#pragma once
#include <fcntl.h>

namespace kvel {

inline bool duplicating_fcntl(long cmd) { return cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC; }

// fcntl (fd, F_DUPFD or F_DUPFD_CLOEXEC, lowest), fd not claimed.
int duplicate_by_fcntl(int fd, int cmd, long lowest);

}  // namespace kvel
