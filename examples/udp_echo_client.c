/*
 * udp_echo_client IFNAME DST_IP DST_PORT [COUNT [SIZE]]
 *
 * Sends COUNT datagrams (default 10) of SIZE bytes (default 64, at least 4) from the
 * card interface IFNAME to an echo server at DST_IP:DST_PORT, one at a time, and checks
 * that each comes back intact. For each it prints the round-trip time on the host's
 * clock, the card's TX time stamp of the send, the card's receive time of the echo, and
 * the time between the two on the card's clock. Exit status 0 when every echo came back
 * intact.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zorvsock.h"

#define ECHO_TIMEOUT_NS 1000000000LL
#define MAX_SIZE 1472

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

/* Sequence number in the first four bytes, a pattern that depends on it after them. */
static void fill(unsigned char* buf, int size, uint32_t seq) {
  int i;
  memcpy(buf, &seq, 4);
  for (i = 4; i < size; i++) buf[i] = (unsigned char)(seq * 31u + (unsigned)i);
}

/* The card's TX time of send id, or 0 when it is not logged within the timeout. */
static uint64_t tx_stamp(zorvsock_handle* h, uint64_t id) {
  const long long deadline = now_ns() + ECHO_TIMEOUT_NS;
  uint64_t t;
  do t = zorvsock_get_tx_timestamp(h, id);
  while (t == 0 && now_ns() < deadline);
  return t > 2 ? t : 0;
}

/* Waits for the echo of seq; returns 1 when it came back intact, 0 otherwise. Echoes
 * of earlier, timed-out datagrams are dropped on the way. */
static int await_echo(zorvsock_handle* h, const unsigned char* sent, int size, uint32_t seq,
                      uint64_t* rx_time) {
  const long long deadline = now_ns() + ECHO_TIMEOUT_NS;
  while (now_ns() < deadline) {
    const void* data;
    const int len = zorvsock_udp_zc_receive(h, &data, rx_time);
    uint32_t got;
    int intact;
    if (len == -11) continue;
    if (len < 4) return 0;
    memcpy(&got, data, 4);
    intact = len == size && memcmp(data, sent, (size_t)size) == 0;
    zorvsock_udp_zc_receive_done(h);
    if (got == seq) return intact;
  }
  return 0;
}

int main(int argc, char** argv) {
  static unsigned char buf[MAX_SIZE];
  if (argc < 4 || argc > 6) {
    fprintf(stderr, "usage: %s IFNAME DST_IP DST_PORT [COUNT [SIZE]]\n", argv[0]);
    return 2;
  }
  const char* ifname = argv[1];
  const uint32_t dst = zorvsock_str2ip(argv[2]);
  const uint16_t port = (uint16_t)atoi(argv[3]);
  const int count = argc > 4 ? atoi(argv[4]) : 10;
  const int size = argc > 5 ? atoi(argv[5]) : 64;
  if (dst == 0 || size < 4 || size > MAX_SIZE) {
    fprintf(stderr, "udp_echo_client: bad address or size (4..%d)\n", MAX_SIZE);
    return 2;
  }

  zorvsock_handle* h = zorvsock_acquire_handle();
  zorvsock_enable_tx_timestamping(h, 16384);
  int rc = zorvsock_udp_configure(h, ifname, 0, dst, port);
  if (rc < 0) {
    fprintf(stderr, "udp_echo_client: cannot set up UDP on %s to %s:%u: %d\n", ifname, argv[2],
            port, rc);
    zorvsock_release_handle(h);
    return 1;
  }

  int good = 0;
  uint32_t seq;
  for (seq = 0; seq < (uint32_t)count; seq++) {
    uint64_t id = 0, rx_time = 0;
    fill(buf, size, seq);
    const long long t0 = now_ns();
    do rc = zorvsock_udp_send(h, buf, size, &id);
    while (rc == -11);
    if (rc < 0) {
      printf("seq %u: send failed: %d\n", seq, rc);
      continue;
    }
    const int ok = await_echo(h, buf, size, seq, &rx_time);
    const long long rtt = now_ns() - t0;
    const uint64_t tx_time = tx_stamp(h, id);
    if (!ok) {
      printf("seq %u: no intact echo within 1 s\n", seq);
      continue;
    }
    good++;
    printf("seq %u: %d bytes, rtt %.1f us, card tx %llu ns, card rx %llu ns, on the card %.1f us\n",
           seq, size, (double)rtt / 1e3, (unsigned long long)tx_time,
           (unsigned long long)rx_time,
           tx_time ? (double)(long long)(rx_time - tx_time) / 1e3 : 0.0);
  }
  printf("udp_echo_client: %d of %d echoes intact\n", good, count);
  zorvsock_release_handle(h);
  return good == count ? 0 : 1;
}
