#include "text_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace {

struct ip_case {
  uint32_t ip;
  const char* text;
};

TEST(TextUtil, IpToStringPrintsTheTopOctetFirst) {
  const ip_case cases[] = {
      {0xC0A80001, "192.168.0.1"},
      {0x00000000, "0.0.0.0"},
      {0xFFFFFFFF, "255.255.255.255"},
      {0xC6120102, "198.18.1.2"},
      {0x0A000080, "10.0.0.128"},  // no sign trouble in the low octet
  };
  for (const auto& c : cases) EXPECT_EQ(kvel::ip_to_string(c.ip), c.text);
}

TEST(TextUtil, MacTextIsUpperCaseWithTheFirstByteFirst) {
  const uint8_t mac[6] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
  EXPECT_EQ(kvel::mac_to_string(mac), "01:23:45:67:89:AB");
  EXPECT_EQ(kvel::mac_u64_to_string(0x0123456789ABull), "01:23:45:67:89:AB");
  // Bits above 47 are not part of the address.
  EXPECT_EQ(kvel::mac_u64_to_string(0xFFFF0000000000FEull), "00:00:00:00:00:FE");
}

TEST(TextUtil, MacNumberConversionsAreInverse) {
  const uint8_t mac[6] = {0x02, 0x5A, 0x00, 0xF0, 0x0F, 0xFF};
  EXPECT_EQ(kvel::mac_to_u64(mac), 0x025A00F00FFFull);
  uint8_t back[6] = {};
  kvel::u64_to_mac(0x025A00F00FFFull, back);
  EXPECT_EQ(0, memcmp(mac, back, 6));
  // The multicast MAC of a group: 01:00:5E and the low 23 bits of the group address.
  kvel::u64_to_mac(0x01005E000000ull | (0xEF7F0102u & 0x7FFFFF), back);
  EXPECT_EQ(kvel::mac_to_string(back), "01:00:5E:7F:01:02");
}

TEST(TextUtil, MulticastIsExactly224To239) {
  const std::pair<uint32_t, bool> cases[] = {
      {0xDFFFFFFF, false},  // 223.255.255.255
      {0xE0000000, true},   // 224.0.0.0
      {0xE00000FB, true},   // 224.0.0.251
      {0xEFFFFFFF, true},   // 239.255.255.255
      {0xF0000000, false},  // 240.0.0.0
      {0xFFFFFFFF, false},
      {0x00000000, false},
  };
  for (const auto& [ip, multicast] : cases)
    EXPECT_EQ(kvel::is_multicast(ip), multicast) << kvel::ip_to_string(ip);
}

}  // namespace
