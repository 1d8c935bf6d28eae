// What the preload tests share that run one helper program plainly and under a preload
// library (the test's parameter) in a private directory, and compare the two outputs.
// ZL_PRELOAD_PREFIX, ZL_LIB_DIR and ZL_ENV_EXTRA come from the test's build.
#pragma once

#include <cstdlib>
#include <string>

#include "test_support.h"

struct helper_runs {
  std::string dir;  // made by make(), removed by remove()

  bool make(const char* name) {
    std::string tmpl = std::string("/tmp/") + name + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return false;
    dir = tmpl;
    return true;
  }
  void remove() const {
    if (!dir.empty()) zt::run("rm -rf " + dir);
  }

  // The environment of a run: untraced unless `trace` says otherwise, with LIB preloaded
  // unless it is null.
  static std::string env(const char* lib, const std::string& trace = "NOTRACE=1 ") {
    if (lib == nullptr) return trace;
    return trace + "LD_PRELOAD=" ZL_PRELOAD_PREFIX + std::string(ZL_LIB_DIR) + "/" + lib +
           " " ZL_ENV_EXTRA " ";
  }
  // PROGRAM's output in the directory (under a library without its routine line).
  zt::cmd_result run(const char* lib, const char* program, const std::string& args,
                     const std::string& trace = "NOTRACE=1 ") const {
    zt::cmd_result r =
        zt::run("cd " + dir + " && timeout 120 env " + env(lib, trace) + program + " " + args);
    r.out = zt::without_routine_line(r.out);
    return r;
  }
  // The same with every trace and verbose line written to the log at `log`.
  zt::cmd_result run_traced(const char* lib, const char* program, const std::string& args,
                            const std::string& log) const {
    return run(lib, program, args, "VERBOSE=1 ZORVLOAD_LOGFILE=" + log + " ");
  }
};
