// The console's control commands: what the terminal typed, output fed in, and the
// faults a terminal must survive (a transmitter stuck busy, output that never ends).
#include "sim_console.h"

namespace zsim {
namespace {

bool switch_word(const std::string& word, bool* on) {
  *on = word == "on";
  return word == "on" || word == "off";
}

}  // namespace

bool console_command(sim_console& console, const std::vector<std::string>& words,
                     std::string* out) {
  const std::string& verb = words[0];
  *out = "ok";
  if (verb == "typed" && words.size() == 1) {
    *out = console_escape(console.typed());
    return true;
  }
  if (verb == "clear" && words.size() == 1) {
    console.clear();
    return true;
  }
  if (verb == "feed" && words.size() >= 2) {
    std::string text = words[1];
    for (size_t i = 2; i < words.size(); ++i) text += " " + words[i];
    size_t dropped = console.feed(console_unescape(text));
    if (dropped) *out = "output full: " + std::to_string(dropped) + " bytes dropped";
    return dropped == 0;
  }
  bool on;
  if ((verb == "busy" || verb == "stream") && words.size() == 2 && switch_word(words[1], &on)) {
    if (verb == "busy")
      console.set_busy(on);
    else
      console.set_streaming(on);
    return true;
  }
  *out = "usage: console <devid> typed|clear|feed <text>|busy on|off|stream on|off";
  return false;
}

}  // namespace zsim
