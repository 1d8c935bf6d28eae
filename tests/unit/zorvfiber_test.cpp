// The register logic of the fiber object on a page of plain memory standing in for a
// mapped fiber configuration page; mapping itself is tested against the simulator.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "zorvfiber.h"

namespace {

constexpr int REG_VLAN0 = 16;

class FiberPage : public testing::Test {
 protected:
  kvel::zorvfiber f_{-1};
  volatile uint64_t* page_ = nullptr;

  void SetUp() override {
    void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    page_ = static_cast<volatile uint64_t*>(p);
    page_[0] = 0x10000200;  // valid identity with link status
    f_.conf_ = page_;
    f_.type_ = 1;
    f_.mapped_ = 1;
    f_.has_link_status_ = 1;
  }
  void TearDown() override { munmap(const_cast<uint64_t*>(page_), 4096); }

  std::vector<uint64_t> regs() const { return {page_, page_ + 512}; }
};

struct vlan_case {
  const char* what;
  std::vector<std::pair<int, uint64_t>> slots;  // register 16 + k := value
  uint32_t vlan;
  int slot;
};

class VlanLookup : public FiberPage, public testing::WithParamInterface<vlan_case> {};

TEST_P(VlanLookup, FindsTheFirstSlotHoldingTheId) {
  for (auto [k, v] : GetParam().slots) page_[REG_VLAN0 + k] = v;
  EXPECT_EQ(f_.get_vlan_set(GetParam().vlan), GetParam().slot) << GetParam().what;
}

constexpr uint64_t vlan_reg(uint64_t vlan, uint32_t ip) { return vlan << 32 | ip; }

INSTANTIATE_TEST_SUITE_P(
    Table, VlanLookup,
    testing::Values(
        vlan_case{"last slot", {{14, vlan_reg(100, 0xC6120001)}}, 100, 15},
        vlan_case{"first of two", {{1, vlan_reg(100, 1)}, {4, vlan_reg(100, 2)}}, 100, 2},
        vlan_case{"first slot", {{0, vlan_reg(7, 0)}, {1, vlan_reg(8, 0)}}, 7, 1},
        vlan_case{"absent", {{0, vlan_reg(7, 0)}, {14, vlan_reg(4095, 0)}}, 8, -1},
        vlan_case{"largest id", {{3, vlan_reg(4095, 0)}}, 4095, 4},
        vlan_case{"only bits 43..32 are the id", {{2, vlan_reg(0x1064, 0)}}, 100, 3},
        vlan_case{"an address alone is no id", {{0, 100}}, 100, -1},
        vlan_case{"register 31 is no slot", {{15, vlan_reg(100, 0)}}, 100, -1},
        vlan_case{"no truncated match for an over-long id", {{0, vlan_reg(100, 0)}},
                  100 + 4096, -1}));

TEST_F(FiberPage, SetVlanWritesTheSlotRegister) {
  f_.set_vlan_set(14, 100, 0xC6120A01);
  EXPECT_EQ(page_[30], vlan_reg(100, 0xC6120A01));
  f_.set_vlan_set(0, 5, 1);
  EXPECT_EQ(page_[16], vlan_reg(5, 1));
  f_.set_vlan_set(0, 0, 0);  // clearing a slot
  EXPECT_EQ(page_[16], 0u);
}

TEST_F(FiberPage, SetVlanBeyondSlot14WritesNothing) {
  auto before = regs();
  testing::internal::CaptureStdout();
  f_.set_vlan_set(15, 100, 1);
  f_.set_vlan_set(255, 100, 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(regs(), before);
  EXPECT_NE(out.find("zorvfiber:set_vlan_set():"), std::string::npos) << out;
  EXPECT_NE(out.find(" Only 15 VLANs are supported\n"), std::string::npos) << out;
}

// An id beyond 4094 would spill into the bits above the slot's id field.
TEST_F(FiberPage, SetVlanRefusesIdsBeyond4094) {
  f_.set_vlan_set(2, 4094, 7);
  EXPECT_EQ(f_.vlan_set(2), vlan_reg(4094, 7));
  auto before = regs();
  testing::internal::CaptureStdout();
  for (uint32_t vlan : {4095u, 4096u + 100u, 0xFFFFFFFFu}) f_.set_vlan_set(3, vlan, 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(regs(), before);
  EXPECT_NE(out.find(" VLAN id 4196 outside 1..4094\n"), std::string::npos) << out;
  EXPECT_EQ(f_.vlan_set(15), 0u) << "no slot 15";
}

TEST_F(FiberPage, TimePortHasNoVlanTable) {
  f_.type_ = 2;
  auto before = regs();
  f_.set_vlan_set(0, 100, 1);
  EXPECT_EQ(regs(), before);
  f_.type_ = -1;  // compared unsigned: anything but 0 and 1 is no ordinary port
  f_.set_vlan_set(0, 100, 1);
  EXPECT_EQ(regs(), before);
}

TEST_F(FiberPage, MacAndAddressOfAnOrdinaryPort) {
  f_.type_ = 0;  // handled like 1
  const uint8_t mac[6] = {0x02, 0x5A, 0x01, 0x02, 0x03, 0x04};
  f_.setup_mac_ip_regs(mac, 0xC6120001, 0xFFFFFF00);
  EXPECT_EQ(page_[5], 0x025A01020304u);
  EXPECT_EQ(page_[14], 0xC6120001u);
  EXPECT_EQ(page_[15], 0xFFFFFF00u);
  EXPECT_EQ(page_[1], 1u);
}

TEST_F(FiberPage, LinkFollowsStatusBit1) {
  page_[13] = 0x2;
  EXPECT_EQ(f_.link_up(), 1);
  page_[13] = 0x1;  // RX locked alone is no link
  EXPECT_EQ(f_.link_up(), 0);
}

TEST_F(FiberPage, WithoutLinkStatusTheLinkIsAlwaysUp) {
  f_.has_link_status_ = 0;
  page_[13] = 0;
  EXPECT_EQ(f_.link_up(), 1);
}

TEST_F(FiberPage, NegativeDelaysCountAsZero) {
  page_[43] = 0xFFFFFFFFFFFFFFFBull;  // -5
  page_[44] = 0xABCD00000000A000ull;  // only the low half counts
  EXPECT_EQ(f_.get_pmapcsmac_tx_delay_ps(), 0);
  EXPECT_EQ(f_.get_pmapcsmac_rx_delay_ps(), 0xA000);
  page_[43] = 0x7FFFFFFF;
  page_[44] = 0x80000000;  // the low half as a signed number: negative
  EXPECT_EQ(f_.get_pmapcsmac_tx_delay_ps(), 0x7FFFFFFF);
  EXPECT_EQ(f_.get_pmapcsmac_rx_delay_ps(), 0);
}

TEST_F(FiberPage, ResetWithoutGlobalPageDoesNothing) {
  auto before = regs();
  f_.pulse_reset();
  EXPECT_EQ(regs(), before);
}

// Every register access on an object whose page is not mapped says so and reads
// nothing: the unmapped object must never be read through.
TEST(FiberUnmapped, EveryAccessReportsTheMissingPage) {
  kvel::zorvfiber f(-1);
  f.has_link_status_ = 1;  // as after a successful init and unmap
  const uint8_t mac[6] = {};
  testing::internal::CaptureStdout();
  f.setup_mac_ip_regs(mac, 1, 2);
  f.set_vlan_set(0, 1, 2);
  EXPECT_EQ(f.get_vlan_set(1), -1);
  EXPECT_EQ(f.link_up(), 0);
  EXPECT_EQ(f.read_id(), 0u);
  EXPECT_EQ(f.get_pmapcsmac_tx_delay_ps(), 0);
  EXPECT_EQ(f.get_pmapcsmac_rx_delay_ps(), 0);
  std::string out = testing::internal::GetCapturedStdout();
  size_t n = 0;
  for (size_t p = 0; (p = out.find(" Global registers not mapped!\n", p)) != std::string::npos; ++p) ++n;
  EXPECT_EQ(n, 7u) << out;
  for (const char* fn : {"setup_mac_ip_regs", "set_vlan_set", "get_vlan_set",
                         "get_pmapcsmac_tx_delay_ps", "get_pmapcsmac_rx_delay_ps"})
    EXPECT_NE(out.find(std::string("zorvfiber:") + fn + "():"), std::string::npos) << fn;
}

// A descriptor that is no device: init reports both mappings and fails, and the
// object stays safe to use and to unmap.
TEST(FiberUnmapped, InitOnABadDescriptorFails) {
  kvel::zorvfiber f(-1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(f.init(3, true), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("zorvfiber:map_kvel_global():"), std::string::npos) << out;
  EXPECT_NE(out.find(" Cannot get global zorvnic register block\n"), std::string::npos) << out;
  EXPECT_NE(out.find("zorvfiber:init():"), std::string::npos) << out;
  EXPECT_NE(out.find(" Mapping of global fiber conf failed Bad file descriptor\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(f.conf_, nullptr);
  EXPECT_EQ(f.global_, nullptr);
  EXPECT_EQ(f.mapped_, 0);
  EXPECT_EQ(f.fiber_, 3);
  f.unmap();
}

}  // namespace
