#include "daemon_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct options_case {
  std::vector<std::string> args;
  bool usage, tlp_hints, multiple;
  std::string group = "zorvnic";
};

// The options point into argv, so the caller keeps args alive while it reads them.
zorvd::daemon_options parse(std::vector<std::string>& args) {
  args.insert(args.begin(), "zorvnic_daemon");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return zorvd::parse_options(int(args.size()), argv.data());
}

TEST(DaemonOptions, Table) {
  const options_case CASES[] = {
      {{}, false, false, false},
      {{"-s"}, false, true, false},
      {{"-m", "-s"}, false, true, true},
      {{"-ms"}, false, true, true},
      {{"-f", "-k", "-t", "-w", "kvel_03_0"}, false, false, false},
      {{"-h"}, true, false, false},
      {{"-x"}, true, false, false},
      {{"-s", "-q"}, true, true, false},
      {{"-g", "netdev", "-s"}, false, true, false, "netdev"},
      {{"-gwheel"}, false, false, false, "wheel"},
      {{"-g"}, true, false, false},
  };
  for (const options_case& c : CASES) {
    std::vector<std::string> args = c.args;
    const zorvd::daemon_options o = parse(args);
    const std::string what = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(o.usage, c.usage) << what;
    EXPECT_EQ(o.tlp_hints, c.tlp_hints) << what;
    EXPECT_EQ(o.multiple, c.multiple) << what;
    EXPECT_EQ(o.group, c.group) << what;
  }
}

}  // namespace
