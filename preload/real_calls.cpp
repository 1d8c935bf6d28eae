#include "real_calls.h"

#include <cerrno>
#include <dlfcn.h>

namespace kvel {

namespace {

// The fallbacks take each call's parameters only to have its type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define ZORVLOAD_MISSING(shape, name, ret, params, ...)                                           \
  ret missing_##name ZORVLOAD_PARAMS(shape, params) {                                             \
    errno = ENOSYS;                                                                               \
    return ret(-1);                                                                               \
  }
ZORVLOAD_CALLS(ZORVLOAD_MISSING)
#undef ZORVLOAD_MISSING
#pragma GCC diagnostic pop

}  // namespace

#define ZORVLOAD_REAL_DEF(shape, name, ret, params, ...)                                          \
  ret(*real_##name) ZORVLOAD_PARAMS(shape, params) = missing_##name;
ZORVLOAD_CALLS(ZORVLOAD_REAL_DEF)
#undef ZORVLOAD_REAL_DEF

void bind_real_calls() {
#define ZORVLOAD_REAL_BIND(shape, name, ret, params, ...)                                         \
  if (void* found = dlsym(RTLD_NEXT, #name))                                                      \
    real_##name = reinterpret_cast<ret(*) ZORVLOAD_PARAMS(shape, params)>(found);
  ZORVLOAD_CALLS(ZORVLOAD_REAL_BIND)
#undef ZORVLOAD_REAL_BIND
}

}  // namespace kvel
