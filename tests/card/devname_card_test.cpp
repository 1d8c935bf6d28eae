// Resolving interface names against the simulator's two devices /dev/zorvnic_2 and
// /dev/zorvnic_10 (see devname_card_test.conf), with extra nodes made in the launcher's
// private /dev.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "devname.h"
#include "test_support.h"

namespace {

const std::string DEV2 = "/dev/zorvnic_2";
const std::string DEV10 = "/dev/zorvnic_10";
const std::string LONG_PORT = "kvel_1F_" + std::string(55, '0');  // 63 characters

using port_list = std::vector<std::pair<std::string, int>>;

// Nodes a test adds to /dev, removed again at its end.
class DevNames : public testing::Test {
 protected:
  std::vector<std::string> made_;

  void SetUp() override { ZT_REQUIRE_LAUNCHED(); }
  void TearDown() override {
    for (const std::string& p : made_) unlink(p.c_str());
  }
  void make_file(const std::string& path) {
    std::ofstream(path) << "not a device\n";
    made_.push_back(path);
  }
  void make_link(const std::string& target, const std::string& path) {
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
    made_.push_back(path);
  }
};

std::vector<std::string> raw_directory_order() {
  std::vector<std::string> names;
  DIR* d = opendir("/dev");
  while (const dirent* e = d ? readdir(d) : nullptr)
    if (std::string(e->d_name).rfind("zorvnic_", 0) == 0) names.push_back("/dev/" + std::string(e->d_name));
  if (d) closedir(d);
  return names;
}

TEST_F(DevNames, ListsTheZorvnicNodesInDirectoryOrder) {
  make_file("/dev/zorvnic");
  make_file("/dev/xzorvnic_3");
  make_file("/dev/zorvnic_extra");
  std::vector<std::string> devices = kvel::list_devices();
  EXPECT_EQ(devices, raw_directory_order());
  std::sort(devices.begin(), devices.end());
  EXPECT_EQ(devices, (std::vector<std::string>{DEV10, DEV2, "/dev/zorvnic_extra"}));
}

TEST_F(DevNames, EachDeviceReportsItsPorts) {
  EXPECT_EQ(kvel::list_device_ports(DEV2), (port_list{{"kvel_2_0", 0}, {"kvel_2_1", 1}}));
  EXPECT_EQ(kvel::list_device_ports(DEV10), (port_list{{"kvel_A_0", 0}, {LONG_PORT, 1}}));
}

struct resolve_case {
  std::string name;  // as an application gives it, VLAN suffix and all
  std::string dev_path;
  int fiber;
};

class Resolve : public DevNames, public testing::WithParamInterface<resolve_case> {};

TEST_P(Resolve, SplitThenResolve) {
  const resolve_case& c = GetParam();
  kvel::vlan_name v = kvel::split_vlan_name(c.name.c_str());
  kvel::fiber_device d = kvel::resolve_interface(v.name.c_str());
  EXPECT_EQ(d.dev_path, c.dev_path) << c.name;
  EXPECT_EQ(d.fiber, c.fiber) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Resolve,
    testing::Values(
        resolve_case{"kvel_2_1", DEV2, 1}, resolve_case{"kvel_A_0", DEV10, 0},
        resolve_case{"kvel_2_0.100", DEV2, 0}, resolve_case{LONG_PORT, DEV10, 1},
        // Parses, but no device reports it (the compare is byte for byte).
        resolve_case{"kvel_B_0", "", -1}, resolve_case{"kvel_a_0", "", -1},
        resolve_case{"kvel_2_01", "", -1},
        // "kvel%u": port N of the first node in byte order, not numeric order.
        resolve_case{"kvel0", DEV10, 0}, resolve_case{"kvel1", DEV10, 1},
        resolve_case{"kvel1.7", DEV10, 1}, resolve_case{"kvel7", DEV10, 7},
        resolve_case{"eth0", "", -1}, resolve_case{"kvel", "", -1},
        resolve_case{"", "", -1}, resolve_case{"...", "", -1},
        resolve_case{LONG_PORT + "0", "", -1}, resolve_case{LONG_PORT + ".5", "", -1},
        resolve_case{"kvel0" + std::string(80, '0'), "", -1}));

TEST_F(DevNames, ANameReportedTwiceGoesToTheNodeListedFirst) {
  make_link(DEV2, "/dev/zorvnic_twin");  // a second node of the same device
  std::vector<std::string> devices = kvel::list_devices();
  std::string first;
  for (const std::string& d : devices)
    if (d == DEV2 || d == "/dev/zorvnic_twin") {
      first = d;
      break;
    }
  ASSERT_FALSE(first.empty());
  kvel::fiber_device d = kvel::resolve_interface("kvel_2_1");
  EXPECT_EQ(d.dev_path, first);
  EXPECT_EQ(d.fiber, 1);
}

TEST_F(DevNames, UnopenableNodeIsReportedOncePerResolution) {
  make_file("/dev/zorvnic_bogus");
  testing::internal::CaptureStdout();
  EXPECT_EQ(kvel::resolve_interface("kvel_B_0").fiber, -1);  // every node is asked
  kvel::fiber_device d = kvel::resolve_interface("kvel_B_0");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(d.fiber, -1);
  EXPECT_EQ(out, "Cannot open device /dev/zorvnic_bogus\nCannot open device /dev/zorvnic_bogus\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(kvel::resolve_interface("kvel_A_0").fiber, 0) << "the other nodes still count";
  EXPECT_TRUE(kvel::list_device_ports("/dev/zorvnic_bogus").empty());
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Cannot open device /dev/zorvnic_bogus\n"), std::string::npos);
}

TEST_F(DevNames, NumberedNameUsesByteOrderNotDirectoryOrder) {
  make_link(DEV2, "/dev/zorvnic_zz");  // tmpfs lists the newest entry first
  ASSERT_EQ(kvel::list_devices().front(), "/dev/zorvnic_zz") << "precondition of the test";
  kvel::fiber_device d = kvel::resolve_interface("kvel1");
  EXPECT_EQ(d.dev_path, DEV10);
  EXPECT_EQ(d.fiber, 1);
}

TEST_F(DevNames, NumberedNameOpensNoDevice) {
  make_file("/dev/zorvnic_0bogus");  // first in byte order, and unopenable
  testing::internal::CaptureStdout();
  kvel::fiber_device d = kvel::resolve_interface("kvel3");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(d.dev_path, "/dev/zorvnic_0bogus");
  EXPECT_EQ(d.fiber, 3);
}

// Without any node every name resolves to nothing. The child hides /dev behind an
// empty tmpfs in a mount namespace of its own.
TEST_F(DevNames, NoNodesNoResolution) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
      _exit(2);
    bool ok = kvel::list_devices().empty();
    for (const char* name : {"kvel0", "kvel_2_0", "kvel_A_0", "kvel1"}) {
      kvel::fiber_device d = kvel::resolve_interface(name);
      ok = ok && d.dev_path.empty() && d.fiber == -1;
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not hide /dev";
}

}  // namespace
