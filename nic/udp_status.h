// The status dump of a UDP session: its ring registers and TX state, printed once a
// second by a status thread while VYX_DEBUG is set.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace vyx {

struct zorvudp_v2;

// Appends the session's status text to out. The values are read without any effort at
// consistency: the card and the caller's thread change them meanwhile.
void append_udp_status(std::string& out, const zorvudp_v2& s);
// The same text written to the library's plain output in one piece.
void print_udp_status(const zorvudp_v2& s);

struct udp_status_thread {
  std::thread thread_;
  std::atomic<uint8_t> running_{0};

  // Prints the status text of s once a second until stop; s must outlive the thread.
  void start(const zorvudp_v2* s);
  // Returns once the thread has ended; does nothing when it was never started.
  void stop();
};

}  // namespace vyx
