#pragma once
#include <cstdint>

namespace kvel {

// The library's 32-bit build identifier, fixed when the library is built.
uint32_t build_githash();

}  // namespace kvel
