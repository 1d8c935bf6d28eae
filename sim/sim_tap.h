// TAP interfaces and interface queries, and running set-up work inside another
// network namespace.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace zsim {

// A TAP named name in the calling thread's network namespace: its descriptor
// (non-blocking, close-on-exec), or -1 with errno.
int tap_open(const std::string& name);
bool tap_set_mac(int tap_fd, uint64_t mac);
bool tap_set_carrier(int tap_fd, bool on);
// IFF_UP of the interface, asked through a datagram socket of its namespace.
bool iface_is_up(int query_fd, const std::string& name);
// Runs fn on a helper thread that has joined the network namespace netns_fd and
// returns its result; false when the namespace cannot be entered.
bool run_in_netns(int netns_fd, const std::function<bool()>& fn);

}  // namespace zsim
