// Which interface an address belongs to, asked of the host: the outgoing interface and
// source address of a destination (connect), and the interface whose subnet holds a
// local address (bind, listen). The sockets used here are private: made and closed
// through the C library, they never get a record or a trace line.
#pragma once
#include <cstdint>

namespace kvel {

// Interface names are written NUL-terminated into a buffer of this many bytes.
inline constexpr int lookup_name_size = 64;

// The kernel's route for dest: 1 with the interface name and preferred source (0 when
// the reply names none), 0 when the reply held no route, -1 on any failure.
int lookup_route_netlink(uint32_t dest, char* ifname, uint32_t* src);

// The first interface (in the host's list order) whose IPv4 subnet holds addr: 0 with
// its name and address, -1 when none does.
int lookup_interface_by_subnet(uint32_t addr, char* ifname, uint32_t* if_addr);

// The IPv4 address of the interface called ifname; 0 when it has none.
uint32_t lookup_interface_address(const char* ifname);

// The route, or else the subnet match: 0 or -1.
int lookup_route_interface(uint32_t dest, char* ifname, uint32_t* src);

// An interface of the card: its name begins with "kvel".
bool card_interface(const char* ifname);

// The card interface whose own address is the local address a (its name into ifname),
// or the reason why a socket bound to a stays with the kernel.
const char* card_interface_of(uint32_t a, char* ifname);

}  // namespace kvel
