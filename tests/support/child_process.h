// A program run beside a test, with its standard output and error in a file: started
// with posix_spawn so the test can signal it and read its exit status.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zt {

struct child_process {
  pid_t pid = -1;
  std::string log;  // standard output and error

  child_process(const std::vector<std::string>& argv, std::string log_path,
                const std::string& stdin_path = "/dev/null")
      : log(std::move(log_path)) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, stdin_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~child_process() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  std::string output() const {
    std::ifstream in(log);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Waits (up to timeout_s) until the output holds text.
  bool wait_output(const std::string& text, int timeout_s = 30) const {
    for (int i = 0; i < timeout_s * 20; ++i) {
      if (output().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void signal(int sig) const {
    if (pid > 0) kill(pid, sig);
  }
  // The exit status; -1 for a death by signal, -2 when it did not end within timeout_s.
  int wait(int timeout_s = 60) {
    for (int i = 0; pid > 0 && i < timeout_s * 100; ++i) {
      int st = 0;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -2;
  }
};

}  // namespace zt
