#include "sim_console.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

#include "kvel_ioctl.h"

namespace zsim {
namespace {

constexpr size_t OUTPUT_CAP = 64 << 10;  // what the card buffers for a terminal that is away
constexpr size_t LINE_CAP = 256;
constexpr const char* PROMPT = "zorvnic> ";
constexpr std::string_view STREAM_TEXT = "console stream\r\n";
constexpr const char* BUILD = "5a17c0d";  // the global page's build identity
constexpr unsigned STATUS_REG = CONSOLE_STATUS / 8;

// Bytes the control socket cannot carry as they are: \s keeps a space inside one word.
struct escape {
  char letter, byte;
};
constexpr escape ESCAPES[] = {{'n', '\n'}, {'r', '\r'}, {'t', '\t'}, {'s', ' '}, {'\\', '\\'}};

}  // namespace

bool sim_console::create(const std::string& name, std::vector<std::string> ports) {
  name_ = name;
  ports_ = std::move(ports);
  return page_.create(("zorvnic-console-" + name).c_str(), kvel::KVEL_PAGE_SIZE, false);
}

void sim_console::put(const std::string& text) {
  for (char c : text) {
    if (output_.size() >= OUTPUT_CAP) return;
    output_.push_back(c);
  }
}

void sim_console::attach() {
  std::lock_guard<std::mutex> lock(mutex_);
  put("\r\nzorvnic card " + name_ + " console (help lists the commands)\r\n" + PROMPT);
}

uint64_t sim_console::receive() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (streaming_) {
    char c = STREAM_TEXT[stream_pos_++ % STREAM_TEXT.size()];
    return CONSOLE_RX_PRESENT | uint8_t(c);
  }
  if (output_.empty()) return 0;
  char c = output_.front();
  output_.pop_front();
  return CONSOLE_RX_PRESENT | uint8_t(c);
}

void sim_console::transmit(uint64_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy_) return;
  take(char(value & 0xFF));
}

void sim_console::take(char c) {
  typed_ += c;
  char before = last_;
  last_ = c;
  if (c == '\n' && before == '\r') return;
  if (c == '\r' || c == '\n') return run_line();
  if (c == '\b' || c == 0x7F) {
    if (line_.empty()) return;
    line_.pop_back();
    return put("\b \b");
  }
  if (uint8_t(c) < ' ' || line_.size() >= LINE_CAP) return;
  line_ += c;
  put(std::string(1, c));
}

void sim_console::run_line() {
  put("\r\n");
  std::string command = line_;
  line_.clear();
  if (command == "help") {
    put("commands: help, version, ports\r\n");
  } else if (command == "version") {
    put("zorvnic card " + name_ + ", build " + BUILD + "\r\n");
  } else if (command == "ports") {
    for (const std::string& port : ports_) put(port + "\r\n");
  } else if (!command.empty()) {
    put("unknown command: " + command + " (help lists the commands)\r\n");
  }
  put(PROMPT);
}

std::string sim_console::typed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return typed_;
}

void sim_console::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  typed_.clear();
  line_.clear();
  output_.clear();
}

size_t sim_console::feed(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t room = OUTPUT_CAP - output_.size();
  put(bytes);
  return bytes.size() > room ? bytes.size() - room : 0;
}

void sim_console::set_busy(bool busy) {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = busy;
  page_.set_reg(STATUS_REG, busy ? CONSOLE_STATUS_TX_BUSY : 0);
}

void sim_console::set_streaming(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  streaming_ = on;
}

std::string console_escape(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    const escape* e = std::find_if(std::begin(ESCAPES), std::end(ESCAPES),
                                   [&](const escape& k) { return k.byte == char(c); });
    if (e != std::end(ESCAPES)) {
      text += std::string{'\\', e->letter};
    } else if (c > ' ' && c < 0x7F) {
      text += char(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      text += hex;
    }
  }
  return text;
}

std::string console_unescape(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
      continue;
    }
    char letter = text[++i];
    if (letter == 'x' && i + 2 < text.size() && isxdigit(text[i + 1]) && isxdigit(text[i + 2])) {
      bytes += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
      continue;
    }
    const escape* e = std::find_if(std::begin(ESCAPES), std::end(ESCAPES),
                                   [&](const escape& k) { return k.letter == letter; });
    if (e != std::end(ESCAPES))
      bytes += e->byte;
    else
      bytes += std::string{'\\', letter};  // not an escape: kept as it stands
  }
  return bytes;
}

}  // namespace zsim
