// The congestion control of the Linux ends of a TCP stream over a wire that loses some
// per cent of the frames, for the heavy-loss tests and their benchmark.
//
// The host's default may be bbr, which keeps hundreds of segments in flight through
// such loss. Against a receiver without selective acknowledgements (ours, or a kernel
// with SACK off) it then repairs nearly every hole on its retransmission timer, which
// it backs off and, acknowledged only for resent data, never resets (it measures no
// round trip there): each resend the wire loses stalls the stream for 13, 26, 52 s and
// more. Cubic, the kernel's own default, shrinks its window on loss and repairs holes
// by fast retransmit. ZT_LOSS_CC names another (bbr, to meet those stalls).
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zt {

// cubic, or ZT_LOSS_CC when set.
inline std::string lossy_wire_cc() {
  const char* chosen = getenv("ZT_LOSS_CC");
  return chosen && *chosen ? chosen : "cubic";
}

// Whether the kernel offers the congestion control `name` (loaded or built in).
inline bool cc_available(const std::string& name) {
  FILE* f = fopen("/proc/sys/net/ipv4/tcp_available_congestion_control", "r");
  if (!f) return false;
  char names[256] = {};
  const bool read = fgets(names, sizeof names, f) != nullptr;
  fclose(f);
  std::string list = " " + std::string(names);
  if (list.back() == '\n') list.back() = ' ';
  return read && list.find(" " + name + " ") != std::string::npos;
}

}  // namespace zt
