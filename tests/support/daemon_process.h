// zorvnic_daemon run by a test: started with its output in a file, watched for the
// lines it prints, stopped with SIGTERM. Its passes run once a second, so a change the
// daemon must follow is waited for up to a few passes.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef ZT_DAEMON
#error "the test needs ZT_DAEMON, the daemon program's path"
#endif

namespace zt {

// Two passes and a little: what "within two passes" allows on a loaded machine.
constexpr auto DAEMON_PASSES = std::chrono::milliseconds(4000);

class daemon_process {
 public:
  // env: "NAME=value" entries added to the environment.
  explicit daemon_process(const std::vector<std::string>& args = {},
                          const std::vector<std::string>& env = {}) {
    log_ = "/tmp/daemon." + std::to_string(getpid()) + "." + std::to_string(++count_) + ".log";
    pid_ = fork();
    if (pid_ != 0) return;
    const int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(ZT_DAEMON)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(ZT_DAEMON, argv.data());
    _exit(127);
  }
  ~daemon_process() { stop(); }
  daemon_process(const daemon_process&) = delete;
  daemon_process& operator=(const daemon_process&) = delete;

  std::string output() const {
    std::ifstream f(log_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  // How often `text` appears in the output so far.
  int count(const std::string& text) const {
    const std::string out = output();
    int n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  }
  // True once the output holds `text` `times` times, within `limit`.
  bool wait_for(const std::string& text, std::chrono::milliseconds limit = DAEMON_PASSES,
                int times = 1) const {
    return poll_until([&] { return count(text) >= times; }, limit);
  }
  // The exit status once the process has ended by itself within `limit`; -1 otherwise.
  int wait_exit(std::chrono::milliseconds limit = DAEMON_PASSES) {
    poll_until([&] { return reap(WNOHANG); }, limit);
    return status_;
  }
  // SIGTERM and the exit status (-1 when it did not end normally).
  int stop() {
    if (pid_ > 0 && status_ == -1 && !ended_) {
      kill(pid_, SIGTERM);
      reap(0);
    }
    return status_;
  }
  pid_t pid() const { return pid_; }

  template <typename F>
  static bool poll_until(F done, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  int status_ = -1;
  bool ended_ = false;
  static inline int count_ = 0;

  bool reap(int flags) {
    if (ended_) return true;
    int st;
    if (waitpid(pid_, &st, flags) != pid_) return false;
    ended_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return true;
  }
};

}  // namespace zt
