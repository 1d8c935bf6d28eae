/*
 * tcp_echo_client IFNAME HOST PORT [COUNT [SIZE]]
 *
 * Opens a TCP connection from the card interface IFNAME to an echo server at HOST:PORT,
 * sends COUNT messages (default 10) of SIZE bytes (default 64, 4..65536) one at a time
 * and checks that each comes back intact, however the stream cuts it into segments.
 * Prints one line per message with its round trip on the host's clock, then a summary,
 * then closes the connection (our FIN first) and releases it. Exit status 0 when every
 * echo came back intact.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zorvsock.h"

#define MAX_SIZE 65536
#define CONNECT_TIMEOUT_NS 5000000000LL
#define ECHO_TIMEOUT_NS 2000000000LL
#define CLOSE_TIMEOUT_NS 2000000000LL

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

/* Polls the connection until it leaves the states in `from` (a mask of 1 << state) or
 * the timeout passes; returns the state it reached. */
static int wait_leaving(zorvsock_handle* h, unsigned from, long long timeout_ns) {
  const long long deadline = now_ns() + timeout_ns;
  int state;
  do state = zorvsock_tcp_get_status(h);
  while (state >= 0 && (from >> state & 1u) && now_ns() < deadline);
  return state;
}

/* Writes the message, retrying while the peer's window or the TX room is short. */
static int send_message(zorvsock_handle* h, const unsigned char* buf, int size) {
  const long long deadline = now_ns() + ECHO_TIMEOUT_NS;
  int rc;
  do rc = zorvsock_tcp_send(h, buf, size, NULL);
  while (rc == -11 && now_ns() < deadline);
  return rc;
}

/* Reads size bytes of echo and compares them with what was sent: 1 intact, 0 wrong or
 * short, with the reason in *why. */
static int await_echo(zorvsock_handle* h, const unsigned char* sent, int size, const char** why) {
  const long long deadline = now_ns() + ECHO_TIMEOUT_NS;
  int got = 0, intact = 1;
  while (got < size) {
    const void* data;
    int len = zorvsock_tcp_zc_receive(h, &data, NULL);
    if (len < 0) {
      *why = len == -107 ? "the server closed the connection" : "receive failed";
      return 0;
    }
    if (len == 0) {
      if (now_ns() > deadline) {
        *why = "no complete echo within 2 s";
        return 0;
      }
      continue;
    }
    /* More than this message would be the next one's echo: there is none in flight. */
    if (len > size - got) {
      *why = "more bytes came back than were sent";
      zorvsock_tcp_zc_receive_done(h);
      return 0;
    }
    intact = intact && memcmp(data, sent + got, (size_t)len) == 0;
    got += len;
    zorvsock_tcp_zc_receive_done(h);
  }
  *why = "the echo differs from the message";
  return intact;
}

int main(int argc, char** argv) {
  static unsigned char buf[MAX_SIZE];
  if (argc < 4 || argc > 6) {
    fprintf(stderr, "usage: %s IFNAME HOST PORT [COUNT [SIZE]]\n", argv[0]);
    return 2;
  }
  const char* ifname = argv[1];
  const uint32_t host = zorvsock_str2ip(argv[2]);
  const int port = atoi(argv[3]);
  const int count = argc > 4 ? atoi(argv[4]) : 10;
  const int size = argc > 5 ? atoi(argv[5]) : 64;
  if (host == 0 || port <= 0 || port > 65535 || count < 0 || size < 4 || size > MAX_SIZE) {
    fprintf(stderr, "tcp_echo_client: bad address, port, count or size (4..%d)\n", MAX_SIZE);
    return 2;
  }

  zorvsock_handle* h = zorvsock_acquire_handle();
  int rc = zorvsock_tcp_connect(h, ifname, 0, host, (uint16_t)port);
  const int state = rc == 0 ? wait_leaving(h, 1u << ZORVSOCK_TCP_SYN_ST, CONNECT_TIMEOUT_NS) : -1;
  if (state != ZORVSOCK_TCP_ESTABLISHED) {
    if (rc != 0)
      fprintf(stderr, "tcp_echo_client: cannot connect on %s to %s:%d: %d\n", ifname, argv[2],
              port, rc);
    else
      fprintf(stderr, "tcp_echo_client: no connection to %s:%d: %s\n", argv[2], port,
              zorvsock_tcp_state_str(state));
    zorvsock_release_handle(h);
    return 1;
  }
  printf("tcp_echo_client: connected on %s to %s:%d\n", ifname, argv[2], port);

  int good = 0;
  double rtt_sum = 0, rtt_max = 0;
  uint32_t seq;
  for (seq = 0; seq < (uint32_t)count; seq++) {
    const char* why = "";
    fill(buf, size, seq);
    const long long t0 = now_ns();
    rc = send_message(h, buf, size);
    if (rc != 0) {
      printf("seq %u: send failed: %d\n", seq, rc);
      break;
    }
    if (!await_echo(h, buf, size, &why)) {
      printf("seq %u: %s\n", seq, why);
      break; /* the stream is out of step now: later echoes cannot be matched */
    }
    const double rtt_us = (double)(now_ns() - t0) / 1e3;
    good++;
    rtt_sum += rtt_us;
    if (rtt_us > rtt_max) rtt_max = rtt_us;
    printf("seq %u: %d bytes echoed intact, rtt %.1f us\n", seq, size, rtt_us);
  }
  printf("tcp_echo_client: %d of %d echoes intact, rtt mean %.1f us, max %.1f us\n", good, count,
         good ? rtt_sum / good : 0.0, rtt_max);

  /* LAST_ACK: the server closed first, and our FIN waits for its ACK. */
  zorvsock_tcp_disconnect(h);
  const int end = wait_leaving(h,
                               1u << ZORVSOCK_TCP_ESTABLISHED | 1u << ZORVSOCK_TCP_FIN_WAIT1 |
                                   1u << ZORVSOCK_TCP_FIN_WAIT2 | 1u << ZORVSOCK_TCP_CLOSING |
                                   1u << ZORVSOCK_TCP_LAST_ACK,
                               CLOSE_TIMEOUT_NS);
  printf("tcp_echo_client: disconnected, %s\n", zorvsock_tcp_state_str(end));
  zorvsock_release_handle(h);
  return good == count ? 0 : 1;
}
