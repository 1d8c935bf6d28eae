// The record that the interposer keeps for each descriptor it serves itself.
#pragma once
#include <cstdint>
#include <ctime>

#include "zorvsock.h"

namespace kvel {

struct epoll_set;

// The numbers are fixed: handlers compare kinds by range (kinds up to RECORD_INET may
// hold a handle; the emulated eventfd and timerfd above it have fields of their own).
enum record_kind : uint8_t {
  RECORD_TCP = 1,
  RECORD_TCP_LISTENER = 2,
  RECORD_UDP = 3,
  RECORD_EPOLL = 4,
  RECORD_INET = 20,
  RECORD_EVENTFD = 21,
  RECORD_TIMERFD = 22,
};

inline constexpr uint16_t ttl_not_set = 0xFFFF;
inline constexpr uint32_t default_rx_buffer_units = 2048;  // 4 MiB in 2 KiB units
inline constexpr uint32_t min_rx_buffer_units = 128;     // 256 KiB: the smallest ring the card takes
inline constexpr uint32_t max_rx_buffer_units = 65536;   // 128 MiB: the largest
inline constexpr int handshake_slots = 8;  // a listener's passive opens ahead of accept

// The kinds that are sockets; the emulated eventfd, timerfd and epoll descriptors are not,
// and socket calls on them fail with ENOTSOCK as on their kernel objects.
inline bool socket_kind(uint8_t kind) {
  return kind == RECORD_TCP || kind == RECORD_TCP_LISTENER || kind == RECORD_UDP ||
         kind == RECORD_INET;
}

struct socket_record {
  uint8_t kind;
  // The descriptor numbers beside the first that hold this record (dup and its family):
  // each close takes one away, and the last ends the socket. Changed by dup and close on
  // any thread through atomic adds (record_holders.h).
  uint32_t sharers;
  // Made by the parent process before a fork: its card session lives in the parent, so
  // the child refuses calls on it and its close touches nothing. Set once in the child
  // before any other thread exists there.
  uint8_t inherited;
  uint8_t is_blocking;
  uint8_t pending;
  zorvsock_handle* handle;
  uint32_t type;
  uint32_t rx_buffer_size;
  uint16_t ttl;
  uint16_t multicast_ttl;
  void* rx_segment;
  uint32_t rx_segment_left;
  char ifname[16];
  uint32_t local_ip;
  uint16_t local_port;
  uint32_t bind_ip;
  uint8_t listening;
  uint32_t remote_ip;
  uint32_t udp_peer_ip;
  uint16_t remote_port;
  uint16_t udp_peer_port;
  // The name the kernel twin is bound to (bind_kernel_twin), zero while it is unbound:
  // where it is the record's own, getsockname lets the kernel answer. Written and read
  // under the slot.
  uint32_t twin_ip;
  uint16_t twin_port;
  uint32_t multicast_group;
  uint8_t multicast_if_set;
  uint8_t timestamping;
  uint32_t timestamping_flags;
  epoll_set* epoll;  // RECORD_EPOLL: the set (epoll_set.h), owned by the record
  uint32_t udp_segment;
  uint32_t priority;
  // The options of accepted_options (option_set.cpp) the program set on the kernel twin:
  // a listener's pass to every connection it accepts, as the kernel's do.
  uint32_t twin_options;
  // Set by shutdown: SHUT_RD makes receives give end of stream, SHUT_WR (our FIN sent)
  // makes sends fail with EPIPE.
  uint8_t shut_rd;
  uint8_t shut_wr;
  // SO_ERROR has told how the connection ended (refused or reset): readiness reports no
  // error after that, as the kernel clears it. Written and read under the slot.
  uint8_t error_told;
  // A listener's handshakes under way or done and not yet accepted (handshakes.cpp):
  // their handles and when each SYN was answered (CLOCK_MONOTONIC, ns). Written and
  // read under the listener's slot.
  zorvsock_handle* handshake[handshake_slots];
  uint64_t handshake_since[handshake_slots];
  // A sendto or sendmsg with a destination aimed the UDP session away from the connected
  // destination; the next send without one aims it back. Written and read by the send
  // paths under the slot.
  uint8_t aimed_away;
  // SO_RCVTIMEO and SO_SNDTIMEO in microseconds, 0 none: written by setsockopt, read by
  // the blocking waits of any thread, both through wait_deadline.h's relaxed atomics.
  uint64_t rcv_timeout_us;
  uint64_t snd_timeout_us;

  // An emulated eventfd (RECORD_EVENTFD), its kernel object holding the same count. The
  // count is written - read (wrapping) and never stored: writes only raise evfd_written,
  // reads only raise (or, for a read that bypassed the interposer, catch up) evfd_read.
  // Both are read by the readiness sweeps of any thread, and libzorvload_unsafe lets
  // writers and readers of different threads meet: relaxed atomics (load_field and
  // store_field, an atomic add where two writers or two semaphore readers may meet).
  uint32_t evfd_flags;  // the creation's flags, never changed
  uint64_t evfd_written;
  uint64_t evfd_read;

  // An emulated timerfd (RECORD_TIMERFD), its kernel object armed alike: times in ns on
  // tfd_clockid's clock. tfd_start, tfd_interval and tfd_deadline are written by the
  // setting and by the read that takes the expiries (tfd_start and tfd_deadline) and
  // read by the readiness sweeps of any thread: relaxed atomics through load_field and
  // store_field. A sweep may meet a setting half-stored and answer once from the old
  // deadline; the next sweep sees the new one.
  int32_t tfd_clockid;    // the creation's clock, never changed
  uint64_t tfd_start;     // the first expiry of the current setting; 0: disarmed
  uint64_t tfd_interval;  // the period; 0 for a one-shot timer
  uint64_t tfd_deadline;  // the next expiry
};

}  // namespace kvel
