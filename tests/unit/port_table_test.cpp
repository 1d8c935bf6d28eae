#include "port_table.h"

#include <gtest/gtest.h>

namespace {

// 17 devices of 16 ports would overrun 256 slots: the port after the last slot is
// refused with a message, before anything of it is touched.
TEST(PortTable, RefusesPortsBeyondItsSlots) {
  zorvd::port_table table;
  table.slots.resize(zorvd::PORT_SLOTS);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(table.add("/dev/zorvnic_10", "kvel_10_0", 0, false));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "kvel: kvel_10_0 (device: /dev/zorvnic_10) not served: no more than 256 ports\n");
  EXPECT_EQ(table.slots.size(), zorvd::PORT_SLOTS);
}

// A port that cannot be brought up still takes its slot, left empty.
TEST(PortTable, FailedPortLeavesItsSlotEmpty) {
  zorvd::port_table table;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(table.add("/dev/zorvnic_none", "nosuch0", 3, false));
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(table.slots.size(), 1u);
  EXPECT_EQ(table.slots[0], nullptr);
  EXPECT_NE(out.find("opening nosuch0 (device: /dev/zorvnic_none)\nkvel: Cannot get MAC address of "
                     "tap interface nosuch0, aborting\n"),
            std::string::npos) << out;
  table.monitor_all();  // an empty slot is passed over
}

}  // namespace
