// Handlers whose card paths are not built yet: they give the slot back and hand the call
// to the C library unchanged, so a managed socket behaves as the kernel socket it stands
// beside. Each row names the handler, its C-library function and its parameters.
#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"

#define ZORVLOAD_PENDING(X)                                                                \
  X(int, vyx_setsockopt, setsockopt,                                                       \
    (int fd, int level, int optname, const void* optval, socklen_t optlen),                \
    (fd, level, optname, optval, optlen))

#define ZORVLOAD_PENDING_DEF(ret, handler, call, params, args) \
  extern "C" ret handler params {                              \
    kvel::release_slot(fd);                                    \
    return kvel::call_real(kvel::real_##call, ZORVLOAD_UNPAREN args);   \
  }
ZORVLOAD_PENDING(ZORVLOAD_PENDING_DEF)
