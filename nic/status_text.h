// Text helpers of the status dumps: each text is built in a string and written in one
// piece, so that dumps of different threads do not interleave within a line.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace kvel {

// Formats into a 4096-byte buffer and appends the result, at most 4095 characters.
[[gnu::format(printf, 2, 3)]] void append_format(std::string& out, const char* fmt, ...);
// Appends the label, the value in decimal and a newline.
void append_value(std::string& out, const char* label, int64_t value);
void append_value(std::string& out, const char* label, uint64_t value);
void append_value(std::string& out, const char* label, int32_t value);
// One write() of the whole text to the library's plain output (plain_output.h); its
// result is not looked at.
void write_plain(const std::string& text);
// One write() of len bytes to standard error; its result is not looked at.
void write_stderr(const char* text, size_t len);
// The status threads' one-second pause; release waits for a thread, so the flag is
// looked at every few milliseconds meanwhile. False once `running` has gone to 0.
bool status_pause(const std::atomic<uint8_t>& running);

}  // namespace kvel
