// The simulator's console monitor: line editing as a serial console does it, the
// commands, a busy transmitter losing writes, and the control socket's words.
#include <gtest/gtest.h>

#include <string>

#include "sim_console.h"

namespace {

using zsim::sim_console;

struct SimConsole : ::testing::Test {
  sim_console console;
  void SetUp() override {
    ASSERT_TRUE(console.create("0", {"0 kvel0 02:5A:00:00:00:00"}));
  }
  // Everything waiting in the receive register.
  std::string received() {
    std::string text;
    for (uint64_t v; (v = console.receive()) & zsim::CONSOLE_RX_PRESENT;) text += char(v & 0xFF);
    return text;
  }
  void type(const std::string& bytes) {
    for (char c : bytes) console.transmit(uint8_t(c));
  }
};

TEST_F(SimConsole, AttachShowsTheBannerAndAPrompt) {
  EXPECT_EQ(received(), "");
  console.attach();
  EXPECT_EQ(received(), "\r\nzorvnic card 0 console (help lists the commands)\r\nzorvnic> ");
}

TEST_F(SimConsole, MonitorEchoesEditsAndAnswers) {
  const std::string prompt = "zorvnic> ";
  const std::string help = "\r\ncommands: help, version, ports\r\n" + prompt;
  struct {
    const char* typed;
    std::string shown;
  } cases[] = {
      {"help\r", "help" + help},
      {"help\n", "help" + help},
      {"help\r\n", "help" + help},  // one end of line, one answer
      {"\r\r", "\r\n" + prompt + "\r\n" + prompt},
      {"hx\x7f" "elp\n", "hx\b \belp" + help},
      {"hx\b" "elp\n", "hx\b \belp" + help},
      {"\x7f\n", "\r\n" + prompt},  // nothing to erase
      {"ve\tr\x01sion\n", "version\r\nzorvnic card 0, build 5a17c0d\r\n" + prompt},
      {"ports\n", "ports\r\n0 kvel0 02:5A:00:00:00:00\r\n" + prompt},
      {"reboot\n", "reboot\r\nunknown command: reboot (help lists the commands)\r\n" + prompt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(zsim::console_escape(c.typed));
    console.clear();
    type(c.typed);
    EXPECT_EQ(received(), c.shown);
    EXPECT_EQ(console.typed(), c.typed);
  }
}

TEST_F(SimConsole, LongLinesAreCutAndControlBytesKeptOutOfTheLine) {
  std::string line(300, 'a');
  type(line + "\n");
  std::string shown = received();
  EXPECT_EQ(shown.substr(0, 256), std::string(256, 'a'));
  EXPECT_EQ(shown.find("unknown command: " + std::string(256, 'a') + " ("), 258u) << shown;
}

TEST_F(SimConsole, WritesWhileTheTransmitterIsBusyAreLost) {
  console.set_busy(true);
  EXPECT_EQ(console.page().reg(zsim::CONSOLE_STATUS / 8), zsim::CONSOLE_STATUS_TX_BUSY);
  type("lost");
  EXPECT_EQ(console.typed(), "");
  EXPECT_EQ(received(), "");
  console.set_busy(false);
  EXPECT_EQ(console.page().reg(zsim::CONSOLE_STATUS / 8), 0u);
  type("x");
  EXPECT_EQ(console.typed(), "x");
}

TEST_F(SimConsole, FedOutputIsCappedAndStreamingNeverEnds) {
  EXPECT_EQ(console.feed(std::string(70000, 'o')), 70000u - 65536u);
  EXPECT_EQ(received().size(), 65536u);
  console.set_streaming(true);
  for (int i = 0; i < 100000; ++i) ASSERT_TRUE(console.receive() & zsim::CONSOLE_RX_PRESENT);
  console.set_streaming(false);
  EXPECT_EQ(console.receive(), 0u);
}

TEST(SimConsoleEscape, EveryByteSurvivesTheControlSocket) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += char(c);
  std::string text = zsim::console_escape(all);
  EXPECT_EQ(text.find_first_of(" \n\r\t"), std::string::npos) << "one word on the socket";
  EXPECT_EQ(zsim::console_unescape(text), all);
  EXPECT_EQ(zsim::console_unescape("a\\sb\\x41\\x4"), "a bA\\x4") << "a short escape stays";
}

TEST_F(SimConsole, ControlWords) {
  const char* usage = "usage: console <devid> typed|clear|feed <text>|busy on|off|stream on|off";
  struct {
    std::vector<std::string> words;
    bool ok;
    const char* out;
  } cases[] = {
      {{"feed", "two", "words\\r\\n"}, true, "ok"},
      {{"typed"}, true, ""},
      {{"busy", "maybe"}, false, usage},
      {{"stream"}, false, usage},
      {{"typed", "extra"}, false, usage},
      {{"reboot"}, false, usage},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(zsim::console_command(console, c.words, &out), c.ok) << c.words[0];
    EXPECT_EQ(out, c.out) << c.words[0];
  }
  EXPECT_EQ(received(), "two words\r\n");
  type("a\n");
  std::string out;
  ASSERT_TRUE(zsim::console_command(console, {"typed"}, &out));
  EXPECT_EQ(out, "a\\n");
}

}  // namespace
