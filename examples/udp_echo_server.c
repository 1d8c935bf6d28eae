/*
 * udp_echo_server IFNAME PORT [COUNT [SECONDS]]
 *
 * Echoes every datagram that reaches PORT of the card interface IFNAME back to its
 * sender, straight from the receive ring (zero copy), and prints one line per datagram.
 * Ends after COUNT datagrams (0: no limit, the default) or when SECONDS pass without a
 * datagram (default 30), and on SIGINT or SIGTERM. Exit status 0 when every datagram was
 * echoed.
 */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "zorvsock.h"

static volatile sig_atomic_t stop;

static void on_signal(int sig) {
  (void)sig;
  stop = 1;
}

static double now_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* Sends the datagram back to (ip, port), retargeting the flow when the sender changes.
 * Retries while the TX window is full. */
static int echo(zorvsock_handle* h, const char* ifname, const void* data, int len, uint32_t ip,
                uint16_t port, uint32_t* dst_ip, uint16_t* dst_port) {
  int rc;
  if (ip != *dst_ip || port != *dst_port) {
    rc = zorvsock_udp_configure(h, ifname, 0, ip, port);
    if (rc < 0) return rc;
    *dst_ip = ip;
    *dst_port = port;
  }
  do rc = zorvsock_udp_send(h, data, len, NULL);
  while (rc == -11 && !stop);
  return rc;
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    fprintf(stderr, "usage: %s IFNAME PORT [COUNT [SECONDS]]\n", argv[0]);
    return 2;
  }
  const char* ifname = argv[1];
  const uint16_t port = (uint16_t)atoi(argv[2]);
  const long count = argc > 3 ? atol(argv[3]) : 0;
  const double idle_limit = argc > 4 ? atof(argv[4]) : 30.0;
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);

  zorvsock_handle* h = zorvsock_acquire_handle();
  int rc = zorvsock_udp_configure(h, ifname, port, 0, 0);
  if (rc < 0) {
    fprintf(stderr, "udp_echo_server: cannot set up UDP on %s port %u: %d\n", ifname, port, rc);
    zorvsock_release_handle(h);
    return 1;
  }
  printf("udp_echo_server: listening on %s port %u\n", ifname, port);
  fflush(stdout);

  long echoed = 0, failed = 0;
  uint32_t dst_ip = 0;
  uint16_t dst_port = 0;
  double last = now_s();
  while (!stop && (count == 0 || echoed + failed < count) && now_s() - last < idle_limit) {
    const void* data;
    uint64_t rx_time;
    uint32_t src_ip;
    uint16_t src_port;
    const int len = zorvsock_udp_zc_receivefrom(h, &data, &rx_time, &src_ip, &src_port);
    if (len == -11) continue; /* nothing yet: poll again */
    if (len < 0) {
      fprintf(stderr, "udp_echo_server: receive failed: %d\n", len);
      break;
    }
    char from[16];
    zorvsock_ip2str(from, src_ip);
    rc = echo(h, ifname, data, len, src_ip, src_port, &dst_ip, &dst_port);
    zorvsock_udp_zc_receive_done(h);
    if (rc == 0) {
      echoed++;
      printf("echoed %d bytes to %s:%u (card rx time %llu ns)\n", len, from, src_port,
             (unsigned long long)rx_time);
    } else {
      failed++;
      printf("could not echo %d bytes to %s:%u: %d\n", len, from, src_port, rc);
    }
    fflush(stdout);
    last = now_s();
  }
  printf("udp_echo_server: %ld datagrams echoed, %ld failed\n", echoed, failed);
  zorvsock_release_handle(h);
  return failed == 0 && (count == 0 || echoed == count) ? 0 : 1;
}
