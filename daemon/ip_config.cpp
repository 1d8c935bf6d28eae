#include "ip_config.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "text_util.h"

namespace zorvd {
namespace {

constexpr const char* ROUTE_FILE = "/proc/net/route";
constexpr const char* NO_GATEWAY = "00000000";

uint32_t in_addr_host(const sockaddr* sa) {
  return sa ? ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr) : 0;
}

// The first IPv4 address of ifname, as getifaddrs lists them. False when the list
// cannot be read.
bool find_address(const char* ifname, ip_config* cfg) {
  ifaddrs* list;
  if (getifaddrs(&list) != 0) {
    puts("kvel: Error getting network interface information");
    return false;
  }
  for (const ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || strcmp(a->ifa_name, ifname) != 0)
      continue;
    cfg->address = in_addr_host(a->ifa_addr);
    cfg->netmask = in_addr_host(a->ifa_netmask);
    break;
  }
  freeifaddrs(list);
  return true;
}

// The kernel writes the address as it stores it, in network order, as one hex number.
uint32_t route_field(const std::string& hex) {
  return ntohl(uint32_t(strtoul(hex.c_str(), nullptr, 16)));
}

}  // namespace

route_gateway parse_routes(const std::string& table, const std::string& ifname) {
  route_gateway r;
  uint32_t default_gw = 0, specific_gw = 0;
  bool has_default = false, has_specific = false;
  std::istringstream lines(table);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string itf, dest, gw;
    if (!std::getline(fields, itf, '\t') || !std::getline(fields, dest, '\t') ||
        !std::getline(fields, gw, '\t') || itf != ifname)
      continue;
    if (dest == NO_GATEWAY) {
      default_gw = route_field(gw);
      has_default = true;
    } else if (gw != NO_GATEWAY) {
      if (has_specific)
        r.notes |= ROUTE_NOTE_MULTIPLE_SPECIFIC;
      else
        specific_gw = route_field(gw);
      has_specific = true;
    }
  }
  if (has_default && has_specific) r.notes |= ROUTE_NOTE_DEFAULT_AND_SPECIFIC;
  r.gateway = has_default ? default_gw : specific_gw;
  return r;
}

int read_ip_config(ip_config* cfg, unsigned* notes, const char* ifname) {
  ip_config fresh;
  *notes = ROUTE_NOTE_NONE;
  if (!find_address(ifname, &fresh)) return IP_CONFIG_UNREAD;
  *cfg = fresh;
  if (fresh.address == 0) return IP_CONFIG_NONE;
  std::ifstream file(ROUTE_FILE);
  if (!file) {
    printf("kvel: Cannot open %s, is /proc mounted?\n", ROUTE_FILE);
    return IP_CONFIG_NONE;
  }
  std::stringstream text;
  text << file.rdbuf();
  const route_gateway r = parse_routes(text.str(), ifname);
  cfg->gateway = r.gateway;
  *notes = r.notes;
  return IP_CONFIG_OK;
}

void print_route_notes(unsigned notes) {
  if (notes & ROUTE_NOTE_MULTIPLE_SPECIFIC)
    puts("kvel: There seem to be multiple specific routes defined on the zorvnic interface, "
         "zorvnic can only handle one gateway/route.");
  if (notes & ROUTE_NOTE_DEFAULT_AND_SPECIFIC) {
    puts("kvel: There seem to be multiple specific routes defined on the zorvnic interface and "
         "a default gateway, zorvnic can only handle one gateway.");
    puts("kvel: Using default gateway.\n");
  }
}

void print_ip_config(const ip_config& cfg) {
  printf("%s / %s", kvel::ip_to_string(cfg.address).c_str(),
         kvel::ip_to_string(cfg.netmask).c_str());
  if (cfg.gateway)
    printf(" gateway: %s\n", kvel::ip_to_string(cfg.gateway).c_str());
  else
    printf("\n");
}

}  // namespace zorvd
