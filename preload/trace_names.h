// Names of socket levels and options for trace lines.
#pragma once

namespace kvel {

// "IPPROTO_TCP", "SOL_SOCKET", ...; "UNKNOWN" for any other value.
const char* level_name(int level);
// The option's constant name, the level's "... unknown" text, or "" for other levels.
const char* option_name(int level, int option);

}  // namespace kvel
