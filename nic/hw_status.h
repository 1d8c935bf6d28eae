// Status dumps for bring-up and field debugging: the Ethernet and hardware TCP
// sessions, a register page's debug counters, the fiber configuration page and the
// card's version. Each appends its text to a string; the print forms write it to the
// library's plain output in one piece.
#pragma once
#include <cstdint>
#include <string>

#include "tcp/tcp_pkt_if.h"
#include "zorveth_v2.h"

struct zorvsock_handle;

namespace vyx {

void append_eth_status(std::string& out, const zorveth_v2& s);
void print_eth_status(const zorveth_v2& s);

}  // namespace vyx

namespace vyxtcp {

// Nothing for a session without a register page.
void append_tcp_hw_status(std::string& out, const tcp_hw_session& s);
void print_tcp_hw_status(const tcp_hw_session& s);
// The handle's hardware TCP session, printed as above.
void print_tcp_hw_status(const zorvsock_handle& h);

}  // namespace vyxtcp

namespace kvel {

// Registers 2, 3, 16, 17 and 19 of a session register page, one labelled line each.
void append_debug_counters(std::string& out, const volatile uint64_t* page);
// The fiber configuration page: number, speed, type, MACs, session counts, address,
// status and its link bits.
void format_fiber_status(std::string& out, const volatile uint64_t* conf);
// The global page's build hash and synthesis time; a time that cannot be shown as a
// date gives a placeholder.
void format_hw_version(std::string& out, const volatile uint64_t* global);

}  // namespace kvel
