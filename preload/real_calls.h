// The C library's own definitions of the names that the preload library takes over:
// one real_<name> pointer per row of the call list. Each starts at a fallback that fails
// with ENOSYS and keeps it when the C library lacks the name, so that callers call the
// pointer without a test.
#pragma once
#include "call_list.h"

namespace kvel {

// Written by bind_real_calls during start-up, before init_done is published; read by
// every thread after ensure_started (or through a record, which start-up made possible).
#define ZORVLOAD_REAL_DECL(shape, name, ret, params, ...)                                         \
  extern ret(*real_##name) ZORVLOAD_PARAMS(shape, params);
ZORVLOAD_CALLS(ZORVLOAD_REAL_DECL)
#undef ZORVLOAD_REAL_DECL

// Looks up the next definition of every name, in list order.
void bind_real_calls();

}  // namespace kvel
