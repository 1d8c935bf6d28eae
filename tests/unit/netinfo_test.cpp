// Host lookups that need no network of their own: the next-hop rule over hand-made
// tables, the route dump walk over hand-made netlink datagrams, ARP table files and the
// default TTL file.
#include "netinfo.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "text_util.h"

namespace {

constexpr uint32_t ip(int a, int b, int c, int d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | uint32_t(d);
}

// ---- next hop ----

kvel::route_entry route(uint32_t dst, uint8_t prefix_len, uint32_t gateway, int32_t metric,
                        const char* ifname = "kvel0") {
  kvel::route_entry r{};
  r.destination = dst;
  r.prefix_len = prefix_len;
  r.mask = prefix_len ? ~0u << (32 - prefix_len) : 0;
  r.gateway = gateway;
  r.metric = metric;
  strncpy(r.ifname, ifname, sizeof r.ifname - 1);
  return r;
}

struct next_hop_case {
  const char* what;
  std::vector<kvel::route_entry> routes;  // the terminator is added
  uint32_t dst;
  int result;
  uint32_t hop;
};

TEST(SelectNextHop, FollowsLongestPrefixThenMetricThenDumpOrder) {
  const uint32_t gw1 = ip(198, 18, 0, 2), gw2 = ip(198, 18, 0, 3);
  const auto dflt = route(0, 0, gw1, 0);
  const next_hop_case cases[] = {
      {"only a default route", {dflt}, ip(10, 1, 2, 3), 0, gw1},
      {"the /24 beats the default", {dflt, route(ip(10, 1, 2, 0), 24, gw2, 0)}, ip(10, 1, 2, 3),
       0, gw2},
      {"the default for what the /24 misses",
       {dflt, route(ip(10, 1, 2, 0), 24, gw2, 0)}, ip(10, 1, 3, 3), 0, gw1},
      {"longer prefix wins over a smaller metric",
       {route(ip(10, 1, 0, 0), 16, gw1, 1), route(ip(10, 1, 2, 0), 24, gw2, 500)},
       ip(10, 1, 2, 3), 0, gw2},
      {"equal prefixes: the smaller metric",
       {route(ip(10, 1, 2, 0), 24, gw1, 20), route(ip(10, 1, 2, 0), 24, gw2, 10)},
       ip(10, 1, 2, 3), 0, gw2},
      {"equal prefixes and metrics: the earlier",
       {route(ip(10, 1, 2, 0), 24, gw1, 10), route(ip(10, 1, 2, 0), 24, gw2, 10)},
       ip(10, 1, 2, 3), 0, gw1},
      {"metrics compare signed",
       {route(ip(10, 1, 2, 0), 24, gw1, 0), route(ip(10, 1, 2, 0), 24, gw2, -5)},
       ip(10, 1, 2, 3), 0, gw2},
      {"a route without gateway: the destination itself",
       {route(ip(10, 1, 2, 0), 24, 0, 0)}, ip(10, 1, 2, 3), 0, ip(10, 1, 2, 3)},
      {"no matching route", {route(ip(10, 0, 0, 0), 8, gw1, 0)}, ip(172, 16, 0, 1), -113, 0},
      {"an empty table", {}, ip(10, 1, 2, 3), -113, 0},
      {"the local subnet never consults the routes", {route(0, 0, gw2, 0)},
       ip(198, 18, 0, 77), 0, ip(198, 18, 0, 77)},
  };
  kvel::if_info itf{"kvel0", 3, ip(198, 18, 0, 1), ip(255, 255, 255, 0), {}};
  for (const auto& c : cases) {
    std::vector<kvel::route_entry> table = c.routes;
    table.resize(kvel::ROUTE_TABLE_SIZE);
    uint32_t hop = 0xDEADBEEF;
    EXPECT_EQ(kvel::select_next_hop(c.dst, itf, table.data(), &hop), c.result) << c.what;
    EXPECT_EQ(hop, c.hop) << c.what;
  }
}

TEST(SelectNextHop, TableEndsAtTheFirstEmptyName) {
  kvel::if_info itf{"kvel0", 3, ip(198, 18, 0, 1), ip(255, 255, 255, 0), {}};
  std::vector<kvel::route_entry> table(kvel::ROUTE_TABLE_SIZE);
  table[0] = route(ip(10, 0, 0, 0), 8, ip(198, 18, 0, 2), 0);
  table[2] = route(ip(10, 1, 0, 0), 16, ip(198, 18, 0, 3), 0);  // after the end
  uint32_t hop;
  EXPECT_EQ(kvel::select_next_hop(ip(10, 1, 1, 1), itf, table.data(), &hop), 0);
  EXPECT_EQ(hop, ip(198, 18, 0, 2));
}

TEST(SelectNextHop, NoTableAndNoAddress) {
  kvel::if_info itf{"kvel0", 3, ip(198, 18, 0, 1), ip(255, 255, 255, 0), {}};
  uint32_t hop = 1;
  EXPECT_EQ(kvel::select_next_hop(ip(10, 1, 1, 1), itf, nullptr, &hop), -113);
  EXPECT_EQ(hop, 0u);
  // Without an address every destination is in the interface's "subnet", 0 excepted.
  kvel::if_info bare{"kvel0", 3, 0, 0, {}};
  EXPECT_EQ(kvel::select_next_hop(0, bare, nullptr, &hop), -113);
  EXPECT_EQ(kvel::select_next_hop(ip(10, 1, 1, 1), bare, nullptr, &hop), 0);
  EXPECT_EQ(hop, ip(10, 1, 1, 1));
}

// ---- route dump walk ----

struct route_msg {
  uint8_t type = RTN_UNICAST;
  uint8_t dst_len = 0;
  std::optional<uint32_t> dst, gateway, priority;
  std::optional<uint32_t> oif;
};

void put_attr(std::vector<uint8_t>& b, uint16_t type, uint32_t value) {
  rtattr a{uint16_t(RTA_LENGTH(4)), type};
  b.insert(b.end(), reinterpret_cast<uint8_t*>(&a), reinterpret_cast<uint8_t*>(&a) + sizeof a);
  b.insert(b.end(), reinterpret_cast<uint8_t*>(&value), reinterpret_cast<uint8_t*>(&value) + 4);
}

// One netlink message with its body, padded to 4 bytes, appended to a datagram.
void put_message(std::vector<uint8_t>& dgram, uint16_t type, const std::vector<uint8_t>& body) {
  nlmsghdr h{};
  h.nlmsg_len = uint32_t(NLMSG_LENGTH(body.size()));
  h.nlmsg_type = type;
  h.nlmsg_flags = NLM_F_MULTI;
  dgram.insert(dgram.end(), reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h) + sizeof h);
  dgram.insert(dgram.end(), body.begin(), body.end());
  dgram.resize(NLMSG_ALIGN(dgram.size()));
}

void put_route(std::vector<uint8_t>& dgram, const route_msg& r) {
  rtmsg rt{};
  rt.rtm_family = AF_INET;
  rt.rtm_dst_len = r.dst_len;
  rt.rtm_table = RT_TABLE_MAIN;
  rt.rtm_type = r.type;
  std::vector<uint8_t> body(reinterpret_cast<uint8_t*>(&rt), reinterpret_cast<uint8_t*>(&rt) + sizeof rt);
  put_attr(body, RTA_TABLE, RT_TABLE_MAIN);
  if (r.dst) put_attr(body, RTA_DST, htonl(*r.dst));
  if (r.gateway) put_attr(body, RTA_GATEWAY, htonl(*r.gateway));
  if (r.priority) put_attr(body, RTA_PRIORITY, *r.priority);
  if (r.oif) put_attr(body, RTA_OIF, *r.oif);
  put_message(dgram, RTM_NEWROUTE, body);
}

void put_done(std::vector<uint8_t>& dgram) { put_message(dgram, NLMSG_DONE, std::vector<uint8_t>(4)); }

struct RouteDump : ::testing::Test {
  kvel::route_entry table[kvel::ROUTE_TABLE_SIZE]{};
  kvel::route_dump d{table, kvel::ROUTE_TABLE_MAX, nullptr, 0};
  uint32_t lo = if_nametoindex("lo");
  std::vector<uint8_t> dgram;

  bool walk() { return kvel::route_dump_datagram(d, dgram.data(), dgram.size()); }
  route_msg on_lo(uint32_t dst, uint8_t len) {
    route_msg r;
    r.dst = dst;
    r.dst_len = len;
    r.oif = lo;
    return r;
  }
};

TEST_F(RouteDump, TakesEveryOrdinaryRouteOfADatagram) {
  route_msg dflt;
  dflt.gateway = ip(198, 18, 0, 2);
  dflt.priority = 100;
  dflt.oif = lo;
  put_route(dgram, dflt);
  route_msg local = on_lo(ip(127, 0, 0, 1), 32);
  local.type = RTN_LOCAL;
  put_route(dgram, local);
  put_route(dgram, on_lo(ip(10, 1, 0, 0), 16));
  put_done(dgram);
  ASSERT_TRUE(walk());
  ASSERT_EQ(d.count, 2);
  EXPECT_EQ(table[0].destination, 0u);
  EXPECT_EQ(table[0].mask, 0u);
  EXPECT_EQ(table[0].prefix_len, 0);
  EXPECT_EQ(table[0].gateway, ip(198, 18, 0, 2));
  EXPECT_EQ(table[0].metric, 100);
  EXPECT_STREQ(table[0].ifname, "lo");
  EXPECT_EQ(table[0].if_addr, ip(127, 0, 0, 1));
  EXPECT_EQ(table[1].destination, ip(10, 1, 0, 0));
  EXPECT_EQ(table[1].mask, ip(255, 255, 0, 0));
  EXPECT_EQ(table[1].prefix_len, 16);
  EXPECT_EQ(table[1].gateway, 0u);
  EXPECT_EQ(table[1].metric, 0);
}

TEST_F(RouteDump, GoesOnOverSeveralDatagramsUntilTheEnd) {
  put_route(dgram, on_lo(ip(10, 1, 0, 0), 16));
  put_route(dgram, on_lo(ip(10, 2, 0, 0), 16));
  EXPECT_FALSE(walk());
  dgram.clear();
  put_route(dgram, on_lo(ip(10, 3, 0, 0), 16));
  put_done(dgram);
  EXPECT_TRUE(walk());
  ASSERT_EQ(d.count, 3);
  EXPECT_EQ(table[2].destination, ip(10, 3, 0, 0));
}

TEST_F(RouteDump, AnErrorReplyEndsTheDump) {
  put_route(dgram, on_lo(ip(10, 1, 0, 0), 16));
  std::vector<uint8_t> err(sizeof(nlmsgerr));
  int code = -EINVAL;
  memcpy(err.data(), &code, sizeof code);
  put_message(dgram, NLMSG_ERROR, err);
  put_route(dgram, on_lo(ip(10, 2, 0, 0), 16));
  EXPECT_TRUE(walk());
  EXPECT_EQ(d.count, 1);
}

TEST_F(RouteDump, FilterKeepsOnlyItsInterface) {
  d.filter = "lo";
  put_route(dgram, on_lo(ip(10, 1, 0, 0), 16));
  route_msg no_oif;
  no_oif.dst = ip(10, 9, 0, 0);
  no_oif.dst_len = 16;
  put_route(dgram, no_oif);
  put_route(dgram, on_lo(ip(10, 2, 0, 0), 16));
  put_done(dgram);
  EXPECT_TRUE(walk());
  ASSERT_EQ(d.count, 2);
  EXPECT_EQ(table[1].destination, ip(10, 2, 0, 0));  // over the route left out
  EXPECT_STREQ(table[1].ifname, "lo");
}

// A multipath route has no output interface of its own: skipped, it ends nothing.
TEST_F(RouteDump, UnfilteredRouteWithoutInterfaceIsSkipped) {
  route_msg no_oif;
  no_oif.dst = ip(10, 9, 0, 0);
  no_oif.dst_len = 16;
  put_route(dgram, no_oif);
  put_route(dgram, on_lo(ip(10, 2, 0, 0), 16));
  put_done(dgram);
  EXPECT_TRUE(walk());
  ASSERT_EQ(d.count, 1);
  EXPECT_EQ(table[0].destination, ip(10, 2, 0, 0));
  EXPECT_STREQ(table[0].ifname, "lo");
}

TEST_F(RouteDump, StopsWhenTheTableIsFull) {
  d.max = 2;
  for (int i = 1; i <= 3; i++) put_route(dgram, on_lo(ip(10, i, 0, 0), 16));
  EXPECT_TRUE(walk());
  EXPECT_EQ(d.count, 2);
  EXPECT_EQ(table[2].destination, 0u);
}

TEST_F(RouteDump, BadLengthsEndTheWalkOfADatagram) {
  put_route(dgram, on_lo(ip(10, 1, 0, 0), 16));
  size_t first = dgram.size();
  put_route(dgram, on_lo(ip(10, 2, 0, 0), 16));
  std::vector<uint8_t> whole = dgram;
  dgram.resize(dgram.size() - 4);  // the second message is cut short
  EXPECT_FALSE(walk());
  EXPECT_EQ(d.count, 1);

  dgram = whole;
  uint32_t tiny = 8;  // below a header
  memcpy(dgram.data() + first, &tiny, 4);
  d.count = 0;
  EXPECT_FALSE(walk());
  EXPECT_EQ(d.count, 1);
}

TEST_F(RouteDump, AnAttributeBeyondTheMessageEndsTheAttributes) {
  route_msg r = on_lo(ip(10, 1, 0, 0), 16);
  r.oif.reset();
  r.gateway = ip(198, 18, 0, 2);
  put_route(dgram, r);
  // The last attribute (the gateway) claims more than the message holds.
  uint16_t huge = 200;
  memcpy(dgram.data() + dgram.size() - 8, &huge, 2);
  EXPECT_FALSE(walk());
  EXPECT_EQ(d.count, 0) << "without an output interface the route does not count";
  EXPECT_EQ(table[0].destination, ip(10, 1, 0, 0)) << "read up to the bad attribute";
  EXPECT_EQ(table[0].gateway, 0u);
}

// ---- ARP table and TTL files ----

std::string temp_file(const std::string& name, const std::string& text) {
  std::string path = testing::TempDir() + "/netinfo_test_" + std::to_string(getpid()) + "_" + name;
  std::ofstream(path) << text;
  return path;
}

const char* const ARP_HEADER =
    "IP address       HW type     Flags       HW address            Mask     Device\n";

struct arp_case {
  const char* what;
  uint32_t ip;
  const char* ifname;
  int result;
  const char* mac;  // when found
};

TEST(ArpLookup, FirstLineThatCountsDecides) {
  std::string path = temp_file(
      "arp", std::string(ARP_HEADER) +
                 "198.18.0.5       0x1         0x2         02:00:00:00:00:05     *        zt_gone9\n"
                 "198.18.0.5       0x1         0x2         02:00:00:00:00:06     *        lo\n"
                 "198.18.0.7       0x1         0x0         00:00:00:00:00:00     *        lo\n"
                 "198.18.0.7       0x1         0x2         02:00:00:00:00:07     *        lo\n"
                 "198.18.0.8       0x1         0x2         0a:bc:de:f0:12:34     *        lo\n");
  const arp_case cases[] = {
      {"a device that does not exist is skipped", ip(198, 18, 0, 5), nullptr, 0,
       "02:00:00:00:00:06"},
      {"the interface asked for", ip(198, 18, 0, 5), "lo", 0, "02:00:00:00:00:06"},
      {"not taken from another interface", ip(198, 18, 0, 5), "zt_gone9", -1, nullptr},
      {"not taken from another interface", ip(198, 18, 0, 8), "kvel0", -1, nullptr},
      {"an incomplete entry decides", ip(198, 18, 0, 7), "lo", -1, nullptr},
      {"lower-case hex", ip(198, 18, 0, 8), nullptr, 0, "0A:BC:DE:F0:12:34"},
      {"no entry", ip(198, 18, 0, 9), nullptr, -1, nullptr},
  };
  for (const auto& c : cases) {
    uint8_t mac[6] = {};
    EXPECT_EQ(kvel::arp_lookup_file(path.c_str(), c.ip, mac, c.ifname), c.result) << c.what;
    if (c.mac) {
      EXPECT_EQ(kvel::mac_to_string(mac), c.mac) << c.what;
    }
  }
  unlink(path.c_str());
}

TEST(ArpLookup, MalformedLineOrMissingFileFindsNothing) {
  std::string path = temp_file(
      "arp_bad", std::string(ARP_HEADER) + "garbage\n" +
                     "198.18.0.8       0x1         0x2         0a:bc:de:f0:12:34     *        lo\n");
  uint8_t mac[6] = {};
  EXPECT_EQ(kvel::arp_lookup_file(path.c_str(), ip(198, 18, 0, 8), mac, nullptr), -1);
  unlink(path.c_str());
  EXPECT_EQ(kvel::arp_lookup_file(path.c_str(), ip(198, 18, 0, 8), mac, nullptr), -1);
}

TEST(DefaultTtl, ReadsOneNumberInRange) {
  const std::pair<const char*, int> cases[] = {
      {"128\n", 128}, {"0\n", 0}, {"255", 255}, {"300\n", 64}, {"-1\n", 64}, {"abc\n", 64}, {"", 64},
  };
  for (const auto& [text, ttl] : cases) {
    std::string path = temp_file("ttl", text);
    EXPECT_EQ(kvel::read_default_ttl(path.c_str()), ttl) << '"' << text << '"';
    unlink(path.c_str());
  }
  EXPECT_EQ(kvel::read_default_ttl("/nonexistent/ip_default_ttl"), 64);
}

TEST(ReadUrandom, FillsTheWholeBuffer) {
  uint8_t a[64] = {}, b[64] = {};
  ASSERT_EQ(kvel::read_urandom(a, sizeof a), 0);
  ASSERT_EQ(kvel::read_urandom(b, sizeof b), 0);
  EXPECT_NE(0, memcmp(a, b, sizeof a));
}

}  // namespace
