#include "ip_config.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* HEADER =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

// A line of /proc/net/route: addresses as the kernel stores them (network order, read as
// a little-endian hex number).
std::string route(const char* itf, const char* dest, const char* gw) {
  return std::string(itf) + "\t" + dest + "\t" + gw + "\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
}

struct route_case {
  const char* what;
  std::string table;
  uint32_t gateway;
  unsigned notes;
};

TEST(ParseRoutes, GatewayChoice) {
  const uint32_t R2 = 0xC6120002, R3 = 0xC6120003, R4 = 0xC6120004;  // 198.18.0.2 .. .4
  const route_case CASES[] = {
      {"no routes", HEADER, 0, zorvd::ROUTE_NOTE_NONE},
      {"link route only", std::string(HEADER) + route("kvel0", "000012C6", "00000000"), 0,
       zorvd::ROUTE_NOTE_NONE},
      {"default", std::string(HEADER) + route("kvel0", "00000000", "020012C6"), R2,
       zorvd::ROUTE_NOTE_NONE},
      {"another interface's default",
       std::string(HEADER) + route("kvel01", "00000000", "020012C6") +
           route("eth0", "00000000", "030012C6"),
       0, zorvd::ROUTE_NOTE_NONE},
      {"specific", std::string(HEADER) + route("kvel0", "0000090A", "030012C6"), R3,
       zorvd::ROUTE_NOTE_NONE},
      {"two specific: the first", std::string(HEADER) + route("kvel0", "0000090A", "030012C6") +
           route("kvel0", "00000A0A", "040012C6"),
       R3, zorvd::ROUTE_NOTE_MULTIPLE_SPECIFIC},
      {"default and specific: the default",
       std::string(HEADER) + route("kvel0", "0000090A", "030012C6") +
           route("kvel0", "00000000", "020012C6"),
       R2, zorvd::ROUTE_NOTE_DEFAULT_AND_SPECIFIC},
      {"a later default replaces", std::string(HEADER) + route("kvel0", "00000000", "020012C6") +
           route("kvel0", "00000000", "040012C6"),
       R4, zorvd::ROUTE_NOTE_NONE},
      {"short lines", std::string(HEADER) + "kvel0\t00000000\n" + "kvel0\n", 0,
       zorvd::ROUTE_NOTE_NONE},
  };
  for (const route_case& c : CASES) {
    const zorvd::route_gateway r = zorvd::parse_routes(c.table, "kvel0");
    EXPECT_EQ(r.gateway, c.gateway) << c.what;
    EXPECT_EQ(r.notes, c.notes) << c.what;
  }
}

TEST(ReadIpConfig, LoopbackAndMissingInterface) {
  zorvd::ip_config cfg{1, 2, 3};
  unsigned notes = 9;
  EXPECT_EQ(zorvd::read_ip_config(&cfg, &notes, "lo"), zorvd::IP_CONFIG_OK);
  EXPECT_EQ(cfg.address, 0x7F000001u);
  EXPECT_EQ(cfg.netmask, 0xFF000000u);
  EXPECT_EQ(notes, zorvd::ROUTE_NOTE_NONE);
  EXPECT_EQ(zorvd::read_ip_config(&cfg, &notes, "nosuch0"), zorvd::IP_CONFIG_NONE);
  EXPECT_EQ(cfg, zorvd::ip_config{}) << "a fresh reading, not the last one";
}

}  // namespace
