// Handlers of the intercepted calls. The call list declares one vyx_<name> per row that
// routes or hands over its whole call; a descriptor-routed row's handler is entered with
// the descriptor's slot claimed (fd_lock.h) and gives it back exactly once; a variadic
// row's handler takes the rest of the arguments as a va_list.
#pragma once
#include "call_list.h"

#define ZORVLOAD_EXPORT __attribute__((visibility("default")))

#define ZORVLOAD_HANDLER(shape, name, ret, params, ...) ZORVLOAD_HANDLER_##shape(name, ret, params)
#define ZORVLOAD_HANDLER_ROUTE(name, ret, params) ZORVLOAD_EXPORT ret vyx_##name params;
#define ZORVLOAD_HANDLER_DATA(name, ret, params) ZORVLOAD_EXPORT ret vyx_##name params;
#define ZORVLOAD_HANDLER_WHOLE(name, ret, params) ZORVLOAD_EXPORT ret vyx_##name params;
#define ZORVLOAD_HANDLER_VARG(name, ret, params)                                                  \
  ZORVLOAD_EXPORT ret vyx_##name(ZORVLOAD_UNPAREN params, va_list rest);
#define ZORVLOAD_HANDLER_PASS(name, ret, params)
#define ZORVLOAD_HANDLER_PASSFD(name, ret, params)
#define ZORVLOAD_HANDLER_ASM(name, ret, params)

extern "C" {

ZORVLOAD_CALLS(ZORVLOAD_HANDLER)

void vyx_log_kernel_fallback_socket(int fd, const char* reason);
// fcntl's three argument classes, entered with the slot claimed.
ZORVLOAD_EXPORT int vyx_fcntl_noarg(int fd, int cmd);
ZORVLOAD_EXPORT int vyx_fcntl_ptrarg(int fd, int cmd, void* arg);
ZORVLOAD_EXPORT int vyx_fcntl_longarg(int fd, int cmd, long arg);

}  // extern "C"

namespace kvel {

// FIONBIO on a managed socket: the record follows the kernel's blocking mode.
int vyx_set_socket_nonblocking(int fd);
int vyx_set_socket_blocking(int fd);

}  // namespace kvel
