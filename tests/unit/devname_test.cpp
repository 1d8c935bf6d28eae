// Splitting interface names into name and VLAN id, and the names that resolve to
// nothing whatever devices exist.
#include <gtest/gtest.h>

#include <string>

#include "devname.h"

namespace {

struct split_case {
  const char* text;
  std::string name;
  int vlan;
};

class SplitVlanName : public testing::TestWithParam<split_case> {};

TEST_P(SplitVlanName, GivesNameAndVlan) {
  const split_case& c = GetParam();
  kvel::vlan_name v = kvel::split_vlan_name(c.text);
  EXPECT_EQ(v.name, c.name);
  EXPECT_EQ(v.vlan, c.vlan);
}

const std::string name63(63, 'k');
const std::string name64(64, 'k');
const std::string name200(200, 'k');
const std::string vlan_at_limit = std::string(58, 'k') + ".4094";  // 63 characters
const std::string vlan_over_limit = std::string(59, 'k') + ".4094";

INSTANTIATE_TEST_SUITE_P(
    Table, SplitVlanName,
    testing::Values(split_case{"kvel0.100", "kvel0", 100}, split_case{"kvel0", "kvel0", 0},
                    split_case{"kvel0..7", "kvel0", 7}, split_case{"kvel0.100.3", "kvel0", 100},
                    split_case{"kvel0.x", "kvel0", 0}, split_case{"kvel0.12abc", "kvel0", 12},
                    split_case{".kvel0.5", "kvel0", 5}, split_case{"kvel0.", "kvel0", 0},
                    split_case{"kvel0.-5", "kvel0", -5},
                    // Would truncate to VLAN 100 if read into an int without a check.
                    split_case{"kvel0.4294967396", "kvel0", -1},
                    split_case{"kvel0.99999999999999999999", "kvel0", -1},
                    split_case{"", "", 0}, split_case{".", "", 0}, split_case{"...", "", 0},
                    split_case{nullptr, "", 0}, split_case{name63.c_str(), name63, 0},
                    split_case{name64.c_str(), "", 0}, split_case{name200.c_str(), "", 0},
                    split_case{vlan_at_limit.c_str(), std::string(58, 'k'), 4094},
                    split_case{vlan_over_limit.c_str(), "", 0}));

// These names match neither "kvel_%X_%d" nor "kvel%u", so no device is consulted.
class UnresolvableName : public testing::TestWithParam<const char*> {};

TEST_P(UnresolvableName, ResolvesToNothing) {
  kvel::fiber_device d = kvel::resolve_interface(GetParam());
  EXPECT_EQ(d.dev_path, "");
  EXPECT_EQ(d.fiber, -1);
}

INSTANTIATE_TEST_SUITE_P(Table, UnresolvableName,
                         testing::Values(nullptr, "", "eth0", "kvel", "kvelx", "KVEL0",
                                         "kvel_1F", "kvel_", "xkvel0"));

}  // namespace
