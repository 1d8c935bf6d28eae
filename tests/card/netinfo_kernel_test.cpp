// Host lookups against the real kernel of the launcher's host namespace: the route dump
// and the next hop agree with ip(8), neighbours come from the ARP cache or are resolved
// by the peer, interface data agrees with ip addr.
#include "netinfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "text_util.h"

namespace {

const char* const PORT = "kvel0";
const char* const WIRE = "wire0";
const char* const OTHER = "zt_va";  // a veth end of the test's own: another interface

uint32_t parse_ip(const std::string& text) {
  unsigned a, b, c, d;
  if (sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
  return a << 24 | b << 16 | c << 8 | d;
}

constexpr uint32_t ip(int a, int b, int c, int d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | uint32_t(d);
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

// The word after `key` in an ip(8) line, empty when there is none.
std::string after(const std::vector<std::string>& w, const std::string& key) {
  for (size_t i = 0; i + 1 < w.size(); i++)
    if (w[i] == key) return w[i + 1];
  return {};
}

std::string must_run(const std::string& cmd) {
  zt::cmd_result r = zt::run(cmd);
  EXPECT_EQ(r.status, 0) << cmd << ": " << r.out;
  return r.out;
}

// MAC of an interface as ip link shows it, in the library's text form.
std::string link_mac(const std::string& ip_link_output) {
  std::string mac = after(words(ip_link_output), "link/ether");
  for (char& ch : mac) ch = char(toupper(ch));
  return mac;
}

struct kernel_route {
  uint32_t dst;
  int prefix_len;
  uint32_t gateway;
  std::string dev;
  int metric;
};

// The ordinary (unicast) IPv4 routes of the main table, in the kernel's order.
std::vector<kernel_route> kernel_routes() {
  static const char* const other_types[] = {"blackhole", "unreachable", "prohibit", "throw",
                                            "local", "broadcast", "multicast", "anycast", "nat"};
  std::vector<kernel_route> routes;
  std::istringstream out(must_run("ip -4 route show table main"));
  for (std::string line; std::getline(out, line);) {
    std::vector<std::string> w = words(line);
    if (w.empty() || std::find(std::begin(other_types), std::end(other_types), w[0]) !=
                         std::end(other_types))
      continue;
    if (w[0] == "unicast") w.erase(w.begin());
    kernel_route r{0, 0, 0, after(w, "dev"), atoi(after(w, "metric").c_str())};
    if (w[0] != "default") {
      size_t slash = w[0].find('/');
      r.dst = parse_ip(w[0].substr(0, slash));
      r.prefix_len = slash == std::string::npos ? 32 : atoi(w[0].c_str() + slash + 1);
    }
    r.gateway = parse_ip(after(w, "via"));
    routes.push_back(r);
  }
  return routes;
}

std::vector<kernel_route> on_dev(const std::vector<kernel_route>& all, const std::string& dev) {
  std::vector<kernel_route> some;
  for (const auto& r : all)
    if (r.dev == dev) some.push_back(r);
  return some;
}

// The first n kernel routes must be the table's, in order, and the table ends there.
void expect_table(const kvel::route_entry* table, int n, const std::vector<kernel_route>& kernel) {
  ASSERT_LE(size_t(n), kernel.size());
  for (int i = 0; i < n; i++) {
    const kvel::route_entry& e = table[i];
    const kernel_route& k = kernel[i];
    SCOPED_TRACE("route " + std::to_string(i) + ": " + kvel::ip_to_string(k.dst) + "/" +
                 std::to_string(k.prefix_len) + " dev " + k.dev);
    EXPECT_EQ(e.destination, k.dst);
    EXPECT_EQ(e.prefix_len, k.prefix_len);
    EXPECT_EQ(e.mask, k.prefix_len ? ~0u << (32 - k.prefix_len) : 0u);
    EXPECT_EQ(e.gateway, k.gateway);
    EXPECT_EQ(e.metric, k.metric);
    EXPECT_EQ(e.ifname, k.dev);
    EXPECT_EQ(e.if_addr, kvel::get_if_ip(k.dev.c_str()));
  }
  const kvel::route_entry& end = table[n];
  EXPECT_EQ(end.ifname[0], '\0');
  EXPECT_EQ(end.destination | end.mask | end.gateway | end.if_addr | uint32_t(end.metric), 0u);
}

// The next hop that the kernel itself would take for dst.
uint32_t kernel_next_hop(uint32_t dst) {
  std::vector<std::string> w = words(must_run("ip -4 route get " + kvel::ip_to_string(dst)));
  std::string via = after(w, "via");
  return via.empty() ? dst : parse_ip(via);
}

struct HostNet : ::testing::Test {
  std::vector<std::string> added_routes_;
  bool other_made_ = false;

  void SetUp() override { ZT_REQUIRE_LAUNCHED(); }

  void TearDown() override {
    if (!added_routes_.empty()) batch("route del", added_routes_);
    if (other_made_) zt::run(std::string("ip link del ") + OTHER);
    zt::run(std::string("ip neigh flush dev ") + PORT);
  }

  // One ip(8) command per item, through a batch file: many routes take one call.
  static void batch(const std::string& verb, const std::vector<std::string>& items) {
    const char* path = "/tmp/netinfo_test.batch";
    {
      std::ofstream f(path);
      for (const auto& item : items) f << verb << ' ' << item << '\n';
    }
    must_run(std::string("ip -batch ") + path);
  }

  void add_routes(const std::vector<std::string>& routes) {
    batch("route add", routes);
    added_routes_.insert(added_routes_.end(), routes.begin(), routes.end());
  }

  // A veth pair in this namespace; OTHER gets 10.250.0.1/24.
  void make_other_interface() {
    must_run(std::string("ip link add ") + OTHER + " type veth peer name zt_vb");
    other_made_ = true;
    must_run(std::string("ip addr add 10.250.0.1/24 dev ") + OTHER);
    must_run(std::string("ip link set ") + OTHER + " up && ip link set zt_vb up");
  }

  static std::string peer_mac() {
    zt::cmd_result r = zt::peer_run(std::string("ip -o link show dev ") + WIRE);
    EXPECT_EQ(r.status, 0) << r.out;
    return link_mac(r.out);
  }
};

TEST_F(HostNet, InterfaceDataAgreesWithIpAddr) {
  std::unique_ptr<kvel::if_info> itf(kvel::make_if_info(PORT));
  std::string link = must_run(std::string("ip -o link show dev ") + PORT);
  EXPECT_EQ(itf->name, PORT);
  EXPECT_EQ(itf->ifindex, atoi(link.c_str()));
  EXPECT_EQ(kvel::mac_to_string(itf->mac), link_mac(link));
  std::string inet = after(words(must_run(std::string("ip -o -4 addr show dev ") + PORT)), "inet");
  EXPECT_EQ(inet, "198.18.0.1/24");
  EXPECT_EQ(itf->address, ip(198, 18, 0, 1));
  EXPECT_EQ(itf->netmask, ip(255, 255, 255, 0));
  EXPECT_EQ(kvel::get_if_ip(PORT), ip(198, 18, 0, 1));
  EXPECT_EQ(kvel::get_if_netmask(PORT), ip(255, 255, 255, 0));
}

TEST_F(HostNet, InterfaceWithoutAddressOrMissing) {
  make_other_interface();
  must_run(std::string("ip addr flush dev ") + OTHER);
  std::unique_ptr<kvel::if_info> bare(kvel::make_if_info(OTHER));
  EXPECT_GT(bare->ifindex, 0);
  EXPECT_EQ(bare->address, 0u);
  EXPECT_EQ(bare->netmask, 0u);
  EXPECT_EQ(kvel::mac_to_string(bare->mac),
            link_mac(must_run(std::string("ip -o link show dev ") + OTHER)));

  std::unique_ptr<kvel::if_info> none(kvel::make_if_info("zt_none0"));
  EXPECT_EQ(none->ifindex, 0);
  EXPECT_EQ(none->address, 0u);
  EXPECT_EQ(kvel::mac_to_u64(none->mac), 0u);
  uint8_t mac[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(kvel::get_if_mac("zt_none0", mac), -1);
  EXPECT_EQ(kvel::mac_to_string(mac), "AA:AA:AA:AA:AA:AA");
  EXPECT_EQ(kvel::get_if_ip("zt_none0"), 0u);
  EXPECT_EQ(kvel::get_if_netmask("zt_none0"), 0u);
}

TEST_F(HostNet, RouteTableAndNextHopAgreeWithTheKernel) {
  add_routes({"10.20.0.0/16 via 198.18.0.2", "10.30.1.0/24 dev kvel0 metric 7",
              "default via 198.18.0.2 metric 100", "10.40.0.0/24 via 198.18.0.2 metric 20",
              "10.40.0.0/24 via 198.18.0.3 metric 10", "192.0.2.7 via 198.18.0.4",
              "blackhole 10.50.0.0/16", "unreachable 10.60.0.0/16"});
  kvel::route_entry table[kvel::ROUTE_TABLE_SIZE];
  int n = kvel::read_route_table(table, kvel::ROUTE_TABLE_MAX, nullptr);
  std::vector<kernel_route> kernel = kernel_routes();
  ASSERT_EQ(size_t(n), kernel.size());
  expect_table(table, n, kernel);

  std::unique_ptr<kvel::if_info> itf(kvel::make_if_info(PORT));
  const uint32_t destinations[] = {ip(198, 18, 0, 77), ip(10, 20, 3, 4), ip(10, 30, 1, 5),
                                   ip(10, 40, 0, 9),   ip(203, 0, 113, 9), ip(192, 0, 2, 7)};
  for (uint32_t dst : destinations) {
    uint32_t hop = 0;
    EXPECT_EQ(kvel::select_next_hop(dst, *itf, table, &hop), 0) << kvel::ip_to_string(dst);
    EXPECT_EQ(kvel::ip_to_string(hop), kvel::ip_to_string(kernel_next_hop(dst)))
        << "towards " << kvel::ip_to_string(dst);
  }
}

// The kernel dumps a multipath route without an output interface, before the routes
// of longer destinations: those still count, and the next hop comes from them.
TEST_F(HostNet, MultipathRouteIsSkippedAndTheRoutesAfterItCount) {
  add_routes({"10.70.0.0/16 nexthop via 198.18.0.2 dev kvel0 nexthop via 198.18.0.3 dev kvel0",
              "10.80.0.0/16 via 198.18.0.4"});
  kvel::route_entry table[kvel::ROUTE_TABLE_SIZE];
  const int n = kvel::read_route_table(table, kvel::ROUTE_TABLE_MAX, nullptr);
  ASSERT_GT(n, 0);
  for (int i = 0; i < n; i++) EXPECT_STRNE(table[i].ifname, "") << "entry " << i;
  std::unique_ptr<kvel::if_info> itf(kvel::make_if_info(PORT));
  uint32_t hop = 0;
  ASSERT_EQ(kvel::select_next_hop(ip(10, 80, 1, 1), *itf, table, &hop), 0);
  EXPECT_EQ(kvel::ip_to_string(hop), "198.18.0.4");
}

TEST_F(HostNet, ManyRoutesAreReadWhole) {
  std::vector<std::string> routes;
  for (int k = 0; k < 150; k++) routes.push_back("10.100." + std::to_string(k) + ".0/24 via 198.18.0.2");
  add_routes(routes);
  std::vector<kernel_route> kernel = kernel_routes();
  ASSERT_GT(kernel.size(), 150u);

  // A table large enough for all of them: the dump spans several datagrams.
  std::vector<kvel::route_entry> big(kernel.size() + 10);
  int n = kvel::read_route_table(big.data(), int(big.size()) - 1, nullptr);
  ASSERT_EQ(size_t(n), kernel.size());
  expect_table(big.data(), n, kernel);

  // A session's table keeps the first 31 and the terminator.
  kvel::route_tables tables;
  tables.init();
  EXPECT_EQ(tables.refresh(nullptr), kvel::ROUTE_TABLE_MAX);
  ASSERT_NE(tables.current_, nullptr);
  expect_table(tables.current_, kvel::ROUTE_TABLE_MAX, kernel);
}

TEST_F(HostNet, FilterKeepsOneInterfaceAndAnEmptyResultKeepsTheTable) {
  make_other_interface();
  std::vector<std::string> routes = {"10.251.0.0/16 via 10.250.0.2", "10.252.0.0/16 via 10.250.0.3 metric 5",
                                     "10.253.7.0/24 dev zt_va"};
  for (int k = 0; k < 40; k++) routes.push_back("10.100." + std::to_string(k) + ".0/24 via 198.18.0.2");
  add_routes(routes);
  std::vector<kernel_route> kernel = kernel_routes();

  kvel::route_entry table[kvel::ROUTE_TABLE_SIZE];
  std::vector<kernel_route> other = on_dev(kernel, OTHER);
  ASSERT_EQ(other.size(), 4u);  // with the interface's own subnet
  EXPECT_EQ(kvel::read_route_table(table, kvel::ROUTE_TABLE_MAX, OTHER), 4);
  expect_table(table, 4, other);

  ASSERT_GT(on_dev(kernel, PORT).size(), 31u);
  EXPECT_EQ(kvel::read_route_table(table, kvel::ROUTE_TABLE_MAX, PORT), kvel::ROUTE_TABLE_MAX);
  expect_table(table, kvel::ROUTE_TABLE_MAX, on_dev(kernel, PORT));

  kvel::route_tables tables;
  tables.init();
  EXPECT_EQ(tables.refresh(OTHER), 4);
  kvel::route_entry* kept = tables.current_;
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(tables.refresh("zt_none0"), 0);
  EXPECT_EQ(tables.current_, kept);
  expect_table(tables.current_, 4, other);
  // A later refresh uses the other table, so the one in use is never overwritten.
  EXPECT_EQ(tables.refresh(PORT), kvel::ROUTE_TABLE_MAX);
  EXPECT_NE(tables.current_, kept);
  expect_table(kept, 4, other);
}

TEST_F(HostNet, NeighbourIsResolvedByThePeerThenCached) {
  add_routes({"10.20.0.0/16 via 198.18.0.2"});
  zt::run(std::string("ip neigh flush dev ") + PORT);
  uint8_t mac[6] = {};
  ASSERT_EQ(kvel::arp_lookup(ip(198, 18, 0, 2), mac, PORT), -1) << "the cache starts empty";

  kvel::route_tables tables;
  tables.init();
  ASSERT_GT(tables.refresh(PORT), 0);
  std::unique_ptr<kvel::if_info> itf(kvel::make_if_info(PORT));
  uint32_t hop = 0;
  ASSERT_EQ(kvel::select_next_hop(ip(10, 20, 3, 4), *itf, tables.current_, &hop), 0);
  ASSERT_EQ(hop, ip(198, 18, 0, 2));
  ASSERT_EQ(kvel::resolve_neighbour_mac(hop, PORT, mac), 0);
  std::string expected = peer_mac();
  EXPECT_EQ(kvel::mac_to_string(mac), expected);

  std::string neigh = must_run(std::string("ip neigh show 198.18.0.2 dev ") + PORT);
  std::string lladdr = after(words(neigh), "lladdr");
  for (char& ch : lladdr) ch = char(toupper(ch));
  EXPECT_EQ(lladdr, expected);
  uint8_t cached[6] = {};
  EXPECT_EQ(kvel::arp_lookup(hop, cached, PORT), 0);
  EXPECT_EQ(kvel::mac_to_string(cached), expected);
  EXPECT_EQ(kvel::arp_lookup(hop, cached, nullptr), 0);
}

TEST_F(HostNet, StaticNeighbourComesFromTheCache) {
  must_run(std::string("ip neigh replace 198.18.0.50 lladdr 02:11:22:33:44:55 dev ") + PORT +
           " nud permanent");
  uint8_t mac[6] = {};
  ASSERT_EQ(kvel::resolve_neighbour_mac(ip(198, 18, 0, 50), PORT, mac), 0);
  EXPECT_EQ(kvel::mac_to_string(mac), "02:11:22:33:44:55");
}

TEST_F(HostNet, UnansweredNeighbourGivesUpAfterHalfASecond) {
  uint8_t mac[6] = {};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kvel::resolve_neighbour_mac(ip(198, 18, 0, 99), PORT, mac), -113);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 0.5);  // 50 pauses of 10 ms at least
  EXPECT_LT(seconds, 10.0);
}

TEST_F(HostNet, EntryOnAnotherInterfaceIsNotTaken) {
  make_other_interface();
  must_run(std::string("ip neigh replace 198.18.0.60 lladdr 02:00:00:00:00:60 dev ") + OTHER +
           " nud permanent");
  uint8_t mac[6] = {};
  EXPECT_EQ(kvel::arp_lookup(ip(198, 18, 0, 60), mac, PORT), -1);
  EXPECT_EQ(kvel::arp_lookup(ip(198, 18, 0, 60), mac, OTHER), 0);
  EXPECT_EQ(kvel::mac_to_string(mac), "02:00:00:00:00:60");
  uint8_t any[6] = {};
  EXPECT_EQ(kvel::arp_lookup(ip(198, 18, 0, 60), any, nullptr), 0);
  // Nobody on the port's wire owns 198.18.0.60: resolution there must fail.
  uint8_t resolved[6] = {};
  EXPECT_EQ(kvel::resolve_neighbour_mac(ip(198, 18, 0, 60), PORT, resolved), -113);
}

TEST_F(HostNet, ResolutionAsksOnTheSessionsInterface) {
  // The kernel's own route to 10.250.0.2 leads out of the other interface, where nobody
  // answers; on the port's wire the peer owns that address.
  make_other_interface();
  ASSERT_EQ(zt::peer_run(std::string("ip addr add 10.250.0.2/32 dev ") + WIRE).status, 0);
  uint8_t mac[6] = {};
  int r = kvel::resolve_neighbour_mac(ip(10, 250, 0, 2), PORT, mac);
  zt::peer_run(std::string("ip addr del 10.250.0.2/32 dev ") + WIRE);
  ASSERT_EQ(r, 0);
  EXPECT_EQ(kvel::mac_to_string(mac), peer_mac());
}

}  // namespace
