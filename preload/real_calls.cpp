#include "real_calls.h"

#include <dlfcn.h>

namespace kvel {

#define ZORVLOAD_REAL_DEF(name, ret, params, ...) ret(*real_##name) params = nullptr;
ZORVLOAD_CALLS(ZORVLOAD_REAL_DEF, ZORVLOAD_REAL_DEF, ZORVLOAD_REAL_DEF, ZORVLOAD_REAL_DEF,
               ZORVLOAD_REAL_DEF, ZORVLOAD_REAL_DEF, ZORVLOAD_REAL_DEF)

void bind_real_calls() {
#define ZORVLOAD_REAL_BIND(name, ret, params, ...) \
  real_##name = reinterpret_cast<ret(*) params>(dlsym(RTLD_NEXT, #name));
  ZORVLOAD_CALLS(ZORVLOAD_REAL_BIND, ZORVLOAD_REAL_BIND, ZORVLOAD_REAL_BIND, ZORVLOAD_REAL_BIND,
                 ZORVLOAD_REAL_BIND, ZORVLOAD_REAL_BIND, ZORVLOAD_REAL_BIND)
}

}  // namespace kvel
