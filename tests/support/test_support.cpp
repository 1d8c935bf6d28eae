#include "test_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <sys/wait.h>

namespace zt {

cmd_result run(const std::string& cmd) {
  cmd_result r{-1, {}};
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

static std::string env_or(const char* name, const char* fallback) {
  const char* v = getenv(name);
  return v && *v ? v : fallback;
}

static std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

cmd_result peer_run(const std::string& cmd) {
  return run("nsenter --net=" + env_or("ZORV_PEER_NETNS", "/nonexistent") + " sh -c " +
             shell_quote(cmd));
}

cmd_result sim_ctl(const std::string& cmd) {
  return run(env_or("ZORV_SIM", "zorvnic_sim") + " ctl " + cmd);
}

// Read through a process of the peer's namespace, so no shell runs there.
long peer_snmp(const std::string& group, const std::string& field) {
  std::ifstream snmp("/proc/" + env_or("ZORV_PEER_PID", "0") + "/net/snmp");
  for (std::string names, values; std::getline(snmp, names) && std::getline(snmp, values);) {
    if (names.rfind(group + ":", 0) != 0) continue;
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;)
      if (name == field) return strtol(value.c_str(), nullptr, 10);
  }
  return -1;
}

long sim_counter(const std::string& name) {
  const std::string text = "\n" + sim_ctl("counters 0").out;
  const size_t at = text.find("\n" + name + " ");
  return at == std::string::npos ? -1 : strtol(text.c_str() + at + name.size() + 2, nullptr, 10);
}

bool launched() { return env_or("ZORV_LAUNCHED", "0") == "1"; }

bool wait_until(const std::function<bool()>& done, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

cmd_result run_scenario(const std::string& script, const std::string& runner,
                        const std::string& scenario, int port, const std::string& dir,
                        int timeout_s) {
  const std::string work = dir + "/" + std::to_string(port);
  run("mkdir -p " + work);
  cmd_result r = run("RUN=" + shell_quote(runner) + " timeout " + std::to_string(timeout_s) +
                     " bash " + script + " " + scenario + " " + std::to_string(port) + " " +
                     work);
  r.out = without_routine_line(r.out);
  return r;
}

std::string without_routine_line(std::string out) {
  const std::string chosen = "Using CPU feat: ";
  for (size_t at; (at = out.find(chosen)) != std::string::npos;) {
    const size_t end = out.find('\n', at);
    out.erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
  }
  return out;
}

}  // namespace zt
