// The C library's own definitions of the names that the preload library takes over:
// one real_<name> pointer per bound call, filled once at start-up.
#pragma once
#include <cerrno>

#include "call_list.h"

namespace kvel {

#define ZORVLOAD_REAL_DECL(name, ret, params, ...) extern ret(*real_##name) params;
ZORVLOAD_CALLS(ZORVLOAD_REAL_DECL, ZORVLOAD_REAL_DECL, ZORVLOAD_REAL_DECL, ZORVLOAD_REAL_DECL,
               ZORVLOAD_REAL_DECL, ZORVLOAD_REAL_DECL, ZORVLOAD_REAL_DECL)
#undef ZORVLOAD_REAL_DECL

// Looks up the next definition of every name, in list order.
void bind_real_calls();

// Calls a bound function; a name that the C library lacks fails with ENOSYS.
template <typename Ret, typename... Params, typename... Args>
Ret call_real(Ret (*fn)(Params...), Args... args) {
  if (fn == nullptr) {
    errno = ENOSYS;
    return Ret(-1);
  }
  return fn(args...);
}

// The same for the variadic fcntl and ioctl.
template <typename Ret, typename... Params, typename... Args>
Ret call_real(Ret (*fn)(Params..., ...), Args... args) {
  if (fn == nullptr) {
    errno = ENOSYS;
    return Ret(-1);
  }
  return fn(args...);
}

}  // namespace kvel
