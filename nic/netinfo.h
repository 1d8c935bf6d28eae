// Host routes, interface data and neighbours, read from the Linux side of a card port.
// Addresses and masks are host-order u32 with the first octet in bits 31..24.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kvel {

struct route_entry {
  uint32_t destination;
  uint32_t mask;
  uint32_t gateway;
  int32_t metric;
  uint8_t prefix_len;
  char ifname[16];  // empty: no output interface; also ends a table
  uint32_t if_addr;
};

constexpr int ROUTE_TABLE_SIZE = 32;
constexpr int ROUTE_TABLE_MAX = 31;

// Fills `table` from a NETLINK_ROUTE dump of the ordinary IPv4 routes; with a filter,
// only routes out of that interface count. Returns the number stored; after a read
// that stored n > 0 routes, entry n is all zeros. `table` holds max + 1 entries.
int read_route_table(route_entry* table, int max, const char* ifname_filter);

// The progress of one route dump: the next route is stored at table[count].
struct route_dump {
  route_entry* table;
  int max;
  const char* filter;
  int count;
};
// Takes the routes of one whole dump datagram (every message in it); true when the dump
// is over: its end, an error reply, or `max` routes stored.
bool route_dump_datagram(route_dump& d, const uint8_t* data, size_t len);

// A session's two route tables: a refresh reads into the one not in use and switches
// to it only when it stored a route.
struct route_tables {
  route_entry table_[2][ROUTE_TABLE_SIZE];
  route_entry* current_;  // null until a read stored a route

  void init();
  int refresh(const char* ifname_filter);
};

// The local interface of a session.
struct if_info {
  std::string name;  // as the caller gave it, VLAN suffix included
  int32_t ifindex;
  uint32_t address;
  uint32_t netmask;
  uint8_t mac[6];
};

// A new if_info for `name` (if_nametoindex, SIOCGIFHWADDR, SIOCGIFADDR, SIOCGIFNETMASK;
// address and netmask only when both are non-zero). Owned by the caller (delete).
if_info* make_if_info(const char* name);

// Next hop towards dst through `itf`, given the session's current table (may be null).
// Returns 0 with *next_hop set, or -113.
int select_next_hop(uint32_t dst, const if_info& itf, const route_entry* table,
                    uint32_t* next_hop);
// MAC of next hop `hop` on interface `ifname`, provoking ARP resolution when missing.
int resolve_neighbour_mac(uint32_t hop, const char* ifname, uint8_t mac[6]);
// 0 when the ARP cache holds a non-zero MAC for `ip` on interface `ifname`
// (any existing interface when ifname is null), -1 otherwise.
int arp_lookup(uint32_t ip, uint8_t mac[6], const char* ifname);
// The same lookup in an ARP table file of the /proc/net/arp format.
int arp_lookup_file(const char* path, uint32_t ip, uint8_t mac[6], const char* ifname);

uint32_t get_if_ip(const char* ifname);       // 0 on failure
uint32_t get_if_netmask(const char* ifname);  // 0 on failure
int get_if_mac(const char* ifname, uint8_t mac[6]);  // 0, or -1 with mac untouched

uint8_t get_default_ttl();  // /proc/sys/net/ipv4/ip_default_ttl, 64 when unusable
uint8_t read_default_ttl(const char* path);  // one decimal 0..255 in the file, else 64
int read_urandom(void* buf, size_t count);  // 0 when all bytes were read

}  // namespace kvel
