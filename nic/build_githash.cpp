#include "build_githash.h"

namespace kvel {

uint32_t build_githash() { return ZORV_GITHASH; }

}  // namespace kvel
