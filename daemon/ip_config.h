// The IPv4 configuration of a Linux interface as the card needs it: address and netmask
// (which the card answers on) and the gateway (which serves only to notice changes).
#pragma once
#include <cstdint>
#include <string>

namespace zorvd {

// Host order, first octet in bits 31..24; 0 means not set.
struct ip_config {
  uint32_t address = 0;
  uint32_t netmask = 0;
  uint32_t gateway = 0;

  bool operator==(const ip_config&) const = default;
};

// How the routes of an interface name its gateway, when they name more than one.
enum route_note : unsigned {
  ROUTE_NOTE_NONE = 0,
  ROUTE_NOTE_MULTIPLE_SPECIFIC = 1u << 0,  // more than one specific route with a gateway
  ROUTE_NOTE_DEFAULT_AND_SPECIFIC = 1u << 1,  // the default gateway wins
};

struct route_gateway {
  uint32_t gateway = 0;  // the default route's gateway, else the first specific one's
  unsigned notes = ROUTE_NOTE_NONE;
};

// The gateway of `ifname` in a routing table of the /proc/net/route format.
route_gateway parse_routes(const std::string& table, const std::string& ifname);

constexpr int IP_CONFIG_OK = 0;
constexpr int IP_CONFIG_NONE = -1;      // no IPv4 address, or no route table
constexpr int IP_CONFIG_UNREAD = -2;    // the interfaces could not be listed: nothing known

// Reads ifname's configuration into *cfg (cleared first) and its route notes into
// *notes. IP_CONFIG_UNREAD leaves *cfg untouched: a failed reading tells nothing.
int read_ip_config(ip_config* cfg, unsigned* notes, const char* ifname);

// Prints the gateway messages of `notes` (the caller prints them when they change).
void print_route_notes(unsigned notes);

// "%s / %s" of address and netmask, then " gateway: %s\n", or "\n" without gateway.
void print_ip_config(const ip_config& cfg);

}  // namespace zorvd
