// The device's serial console behind block 133: a small monitor that takes what a
// terminal writes to the transmit register (echo, a command line, a few commands) and
// queues its answers for the receive register. The descriptor server (register
// requests) and the control socket (what was typed, output fed in, a transmitter
// forced busy, endless output) reach it from two threads.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sim_region.h"

namespace zsim {

// Page offsets of the console's registers: status is shared memory, the other two
// are side-effect registers.
constexpr uint32_t CONSOLE_STATUS = 0x08;
constexpr uint32_t CONSOLE_TRANSMIT = 0x28;
constexpr uint32_t CONSOLE_RECEIVE = 0x30;
constexpr uint64_t CONSOLE_STATUS_TX_BUSY = 1u << 1;
constexpr uint64_t CONSOLE_RX_PRESENT = 1u << 8;

class sim_console {
 public:
  // name: the device id, which the banner and "version" show; ports: one line each for
  // the "ports" command. False with errno when the page cannot be made.
  bool create(const std::string& name, std::vector<std::string> ports);
  sim_region& page() { return page_; }

  // A descriptor allocated the console: the banner and a prompt.
  void attach();
  uint64_t receive();
  void transmit(uint64_t value);

  // Control: every byte the transmitter sent so far (clear forgets them and the output
  // not yet received, so that one terminal's test starts clean), output fed in
  // as if the card's own software wrote it, the transmitter held busy (writes while busy
  // are lost, as on a real transmitter), and endless output for drains that never end.
  std::string typed();
  void clear();
  // Bytes that did not fit into the output queue.
  size_t feed(const std::string& bytes);
  void set_busy(bool busy);
  void set_streaming(bool on);

 private:
  void put(const std::string& text);  // with mutex_ held
  void take(char c);                  // with mutex_ held
  void run_line();                    // with mutex_ held

  sim_region page_;
  std::string name_;
  std::vector<std::string> ports_;
  std::mutex mutex_;
  // Everything below: written and read by the server and control threads under mutex_.
  std::string typed_;
  std::string line_;  // the command line being typed
  char last_ = 0;     // the byte before, to take CR LF as one end of line
  std::deque<char> output_;
  bool busy_ = false;
  bool streaming_ = false;
  size_t stream_pos_ = 0;
};

// Escapes of bytes for the control socket (\n, \r, \t, \s a space, \\, \xHH), and back.
std::string console_escape(const std::string& bytes);
std::string console_unescape(const std::string& text);

// The control socket's "console <devid> WORDS...", words after the device id:
// "typed", "clear" (typed bytes and waiting output), "feed TEXT..." (escaped, words joined by one space), "busy on|off",
// "stream on|off". False with *out saying why.
bool console_command(sim_console& console, const std::vector<std::string>& words,
                     std::string* out);

}  // namespace zsim
