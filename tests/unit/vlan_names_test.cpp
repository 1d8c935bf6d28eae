#include "vlan_names.h"

#include <gtest/gtest.h>

namespace {

struct id_case {
  const char* ifname;
  const char* port;
  int id;
};

TEST(VlanNames, WhatASubInterfaceIs) {
  const id_case CASES[] = {
      {"kvel0.100", "kvel0", 100},
      {"kvel0.1", "kvel0", 1},
      {"kvel0.4094", "kvel0", 4094},
      {"kvel_1F_0.7", "kvel_1F_0", 7},
      {"kvel0", "kvel0", zorvd::VLAN_NOT_OURS},
      {"kvel0.", "kvel0", zorvd::VLAN_NOT_OURS},
      {"kvel10.5", "kvel1", zorvd::VLAN_NOT_OURS},   // another port's
      {"xkvel0.5", "kvel0", zorvd::VLAN_NOT_OURS},
      {"kvel0.5.7", "kvel0", zorvd::VLAN_NOT_OURS},  // nested
      {"kvel0.5a", "kvel0", zorvd::VLAN_NOT_OURS},
      {"kvel0.-5", "kvel0", zorvd::VLAN_NOT_OURS},
      {"kvel0.0", "kvel0", zorvd::VLAN_ID_REFUSED},
      {"kvel0.4095", "kvel0", zorvd::VLAN_ID_REFUSED},
      {"kvel0.65636", "kvel0", zorvd::VLAN_ID_REFUSED},  // 100 above 65536: not 100
      {"kvel0.99999999999999999999", "kvel0", zorvd::VLAN_ID_REFUSED},
  };
  for (const id_case& c : CASES) EXPECT_EQ(zorvd::vlan_id_of(c.ifname, c.port), c.id) << c.ifname;
}

TEST(VlanNames, ScanKeepsOrderAndSlotCount) {
  const std::vector<std::string> names = {"lo",        "kvel0",     "kvel0.300", "kvel01.5",
                                          "kvel0.9999", "kvel0.100", "kvel0.200", "kvel0.400"};
  const zorvd::vlan_scan scan = zorvd::scan_vlan_names(names, "kvel0", 2);
  ASSERT_EQ(scan.subs.size(), 2u);
  EXPECT_EQ(scan.subs[0].ifname, "kvel0.300");
  EXPECT_EQ(scan.subs[0].vlan, 300u);
  EXPECT_EQ(scan.subs[1].vlan, 100u);
  EXPECT_EQ(scan.refused, std::vector<std::string>{"kvel0.9999"});
  EXPECT_EQ(scan.left_out, (std::vector<std::string>{"kvel0.200", "kvel0.400"}));
}

}  // namespace
