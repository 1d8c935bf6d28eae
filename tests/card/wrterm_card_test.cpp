// zorvwr_term against the simulated card's console: what is typed reaches the console in
// order and nothing after C-a, what the console sends is shown, and the terminal ends
// on C-a, on the end of its input (empty or closed) and with usage errors. A stuck
// transmitter and a console that never stops sending must not keep it from reading C-a.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

const std::string TERM_PROGRAM = ZT_WRTERM;
const std::string DEVICE = "/dev/zorvnic_0";
constexpr int DEADLINE_S = 20;  // far beyond any healthy run: a hang, not a speed limit

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// What the console has received from the terminal, escaped by the simulator.
std::string typed() {
  zt::cmd_result r = zt::sim_ctl("console 0 typed");
  EXPECT_EQ(r.status, 0) << r.out;
  return r.out.substr(0, r.out.size() - 1);
}

void console(const std::string& command) {
  zt::cmd_result r = zt::sim_ctl("console 0 " + command);
  ASSERT_EQ(r.status, 0) << command << ": " << r.out;
}

// Output the card's own software sends on the console (escaped: \s a space, \xHH).
void feed(const std::string& text) { console("feed '" + text + "'"); }

// Checks at most every 10 ms: a check may start a process (the simulator's control
// client, tmux).
bool eventually(const std::function<bool()>& condition) {
  return zt::wait_until(
      [&] {
        if (condition()) return true;
        usleep(10000);
        return false;
      },
      DEADLINE_S * 1000);
}

// The terminal with its standard input on a pipe that the test writes, its output and
// errors in files.
struct term_process {
  pid_t pid = -1;
  int input = -1;
  const std::string out_path = "/tmp/wrterm.out", err_path = "/tmp/wrterm.err";

  void start() {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(fds[0], 0);
      dup2(open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), 1);
      dup2(open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), 2);
      execl(TERM_PROGRAM.c_str(), TERM_PROGRAM.c_str(), DEVICE.c_str(), nullptr);
      _exit(127);
    }
    close(fds[0]);
    input = fds[1];
  }
  void type(const std::string& bytes) {
    ASSERT_EQ(write(input, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  std::string out() const { return slurp(out_path); }
  std::string err() const { return slurp(err_path); }
  // The exit status; -1 when it had to be killed at the deadline.
  int wait() {
    int status = 0;
    bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    pid = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~term_process() {
    if (input >= 0) close(input);
    if (pid > 0) wait();
  }
};

struct Wrterm : ::testing::Test {
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    console("busy off");
    console("stream off");
    console("clear");
  }
};

// Whole runs from a pipe that ends: what the console got, what was shown, the status.
TEST_F(Wrterm, TypedInputReachesTheConsoleAndItsAnswersAreShown) {
  struct {
    const char* input;
    const char* typed;  // escaped
    const char* shown;
    const char* err;
  } cases[] = {
      {"help\n\x01", "help\\n", "commands: help, version, ports", ""},
      {"version\nports\n\x01", "version\\nports\\n", "0 kvel0 02:5A:00:00:00:00", ""},
      // C-a ends the terminal at once: neither it nor anything after it is sent.
      {"ver\x01sion\n", "ver", "zorvnic> ver", ""},
      {"nothing\n", "nothing\\n", "unknown command: nothing",
       "nothing to read. Port disconnected?\n"},
      {"", "", "console (help lists the commands)", "nothing to read. Port disconnected?\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    console("clear");
    term_process term;
    term.start();
    term.type(c.input);
    close(term.input);
    term.input = -1;
    EXPECT_EQ(term.wait(), 0) << term.err();
    EXPECT_EQ(typed(), c.typed);
    EXPECT_NE(term.out().find(c.shown), std::string::npos) << term.out();
    EXPECT_EQ(term.err(), std::string("[press C-a to exit]\n") + c.err);
  }
}

TEST_F(Wrterm, CommandLineAndStandardDescriptors) {
  const std::string t = TERM_PROGRAM + " ";
  struct {
    std::string command;
    int status;
    const char* out;
  } cases[] = {
      {TERM_PROGRAM, 1, "usage: zorvwr_term DEVICE\n"},
      {t + DEVICE + " " + DEVICE + " </dev/null", 1, "usage: zorvwr_term DEVICE\n"},
      {t + "/dev/zorvnic_7", 1, "Error opening zorvwr: No such file or directory\n"},
      {t + "/tmp", 1, "Error opening zorvwr: No such device\n"},
      {t + "/dev/null", 1, "Error opening zorvwr: Inappropriate ioctl for device\n"},
      {t + DEVICE + " </dev/null", 0,
       "[press C-a to exit]\nnothing to read. Port disconnected?\n"},
      // A closed standard input is the end of input, not a loop of failing waits.
      {t + DEVICE + " <&-", 0, "[press C-a to exit]\nnothing to read. Port disconnected?\n"},
  };
  for (const auto& c : cases) {
    // Standard error alone: the console's banner goes to standard output.
    zt::cmd_result r = zt::run("{ timeout -s KILL " + std::to_string(DEADLINE_S) + " " +
                               c.command + " 2>&1 >/dev/null; }");
    EXPECT_EQ(r.status, c.status) << c.command;
    EXPECT_EQ(r.out, c.out) << c.command;
  }
  EXPECT_EQ(typed(), "");
}

// With standard output closed the device's descriptor must not take its number: the
// console's answer would be written into the device's connection instead.
TEST_F(Wrterm, ClosedStandardOutputIsNotTheDevice) {
  zt::cmd_result r = zt::run("printf 'help\\nversion\\n\\001' | { " + TERM_PROGRAM + " " +
                             DEVICE + " >&-; }");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(typed(), "help\\nversion\\n");
}

// Output the console sends while the terminal waits for input is shown; a character 0
// ends a drain but loses nothing after it.
TEST_F(Wrterm, ConsoleOutputIsShownAsItArrives) {
  term_process term;
  term.start();
  ASSERT_TRUE(eventually([&] { return term.out().find("zorvnic> ") != std::string::npos; }));
  feed("from\\sthe\\x00card\\r\\n");
  EXPECT_TRUE(eventually([&] { return term.out().find("from thecard\r\n") != std::string::npos; }))
      << term.out();
  EXPECT_EQ(term.out().find('\0'), std::string::npos);
  term.type("\x01");
  EXPECT_EQ(term.wait(), 0);
  EXPECT_EQ(typed(), "");
}

// Bytes typed while the transmitter is busy wait for it (the card loses a byte written
// while busy), and meanwhile the terminal goes on showing output and reading input.
TEST_F(Wrterm, BytesTypedWhileTheTransmitterIsBusyAreSentOnceItClears) {
  console("busy on");
  term_process term;
  term.start();
  term.type("xy");
  feed("shown\\swhile\\sbusy");
  ASSERT_TRUE(eventually([&] { return term.out().find("shown while busy") != std::string::npos; }))
      << term.out();
  EXPECT_EQ(typed(), "");
  console("busy off");
  EXPECT_TRUE(eventually([&] { return typed() == "xy"; })) << typed();
  term.type("z\x01");
  EXPECT_EQ(term.wait(), 0) << term.err();
  EXPECT_EQ(typed(), "xyz");
}

// A transmitter that never clears: C-a still ends the terminal, also behind more bytes
// than it queues, and it says what it could not send and fails.
TEST_F(Wrterm, StuckTransmitterDoesNotHoldTheTerminal) {
  console("busy on");
  for (size_t n : {3, 5000}) {
    term_process term;
    term.start();
    term.type(std::string(n, 'a') + "\x01");
    EXPECT_EQ(term.wait(), 1) << n;
    EXPECT_NE(term.err().find("console transmitter busy: " + std::to_string(n) +
                              " typed bytes not sent"),
              std::string::npos)
        << term.err();
  }
  EXPECT_EQ(typed(), "");
}

// A console that never stops sending: each drain is capped, so C-a and the end of input
// are still read.
TEST_F(Wrterm, EndlessConsoleOutputDoesNotHoldTheTerminal) {
  console("stream on");
  for (bool end_of_input : {false, true}) {
    SCOPED_TRACE(end_of_input ? "end of input" : "C-a");
    term_process term;
    term.start();
    ASSERT_TRUE(eventually([&] { return term.out().find("console stream") != std::string::npos; }));
    term.type("hi");
    if (end_of_input) {
      close(term.input);
      term.input = -1;
    } else {
      term.type("\x01");
    }
    EXPECT_EQ(term.wait(), 0) << term.err();
    EXPECT_EQ(typed(), "hi");
    console("clear");
  }
}

// Under tmux, as a user would: a line typed at the terminal reaches the console with
// Enter, the console's answer and its own output show in the pane, and C-a (passed on
// by the terminal with Enter) ends the program with status 0.
struct WrtermTmux : Wrterm {
  std::string tmux(const std::string& args) {
    zt::cmd_result r = zt::run("tmux -L wrterm " + args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.out;
    return r.out;
  }
  std::string pane() { return tmux("capture-pane -p -t term"); }
  bool pane_shows(const std::string& text) {
    return pane().find(text) != std::string::npos;
  }
  void TearDown() override { zt::run("tmux -L wrterm kill-server"); }
};

TEST_F(WrtermTmux, TypedLineReachesTheConsoleAndCtrlAEndsTheTerminal) {
  setenv("TERM", "xterm", 0);
  // The program's status goes to a file: tmux may show a dead pane before its status.
  const std::string status_file = "/tmp/wrterm.status";
  unlink(status_file.c_str());
  tmux("new-session -d -s term -x 120 -y 40 '" + TERM_PROGRAM + " " + DEVICE + "; echo $? >" +
       status_file + "'");
  tmux("set-option -t term remain-on-exit on");
  ASSERT_TRUE(eventually([&] { return pane_shows("[press C-a to exit]"); })) << pane();
  ASSERT_TRUE(eventually([&] { return pane_shows("zorvnic>"); })) << pane();
  tmux("send-keys -t term help Enter");
  EXPECT_TRUE(eventually([&] { return pane_shows("commands: help, version, ports"); })) << pane();
  EXPECT_EQ(typed(), "help\\n");
  feed("hello from the card\\r\\n");
  EXPECT_TRUE(eventually([&] { return pane_shows("hello from the card"); })) << pane();
  tmux("send-keys -t term C-a Enter");
  EXPECT_TRUE(eventually([&] { return slurp(status_file).size() > 1; })) << pane();
  EXPECT_EQ(slurp(status_file), "0\n") << pane();
  EXPECT_EQ(typed(), "help\\n");
}

}  // namespace
