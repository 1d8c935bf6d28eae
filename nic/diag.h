// The library's diagnostic line: "%02u:%06u %s:%s():%d " and the message, on standard
// output, stamped with the seconds within the minute and the nanoseconds within the
// second of CLOCK_REALTIME.
#pragma once

namespace kvel {

[[gnu::format(printf, 4, 5)]] void diag_print(const char* source, const char* func, int line,
                                              const char* fmt, ...);

}  // namespace kvel

// source: the module's name ("zorvfiber", "tcp/vyx_tcp").
#define KVEL_DIAG(source, ...) ::kvel::diag_print(source, __func__, __LINE__, __VA_ARGS__)

// Prefix of messages meant for the user.
#define KVEL_RED "\33[31mkvel:\33[0m "
