/*
 * tcp_echo_server IFNAME PORT [CONNECTIONS [SECONDS]]
 *
 * Listens on PORT of the card interface IFNAME and echoes every byte that a connection
 * brings back to it, straight from the receive ring (zero copy). Up to 8 connections
 * are served side by side; each ends when its peer closes, with our FIN after the last
 * echo. Ends after CONNECTIONS connections (0: no limit; default 1) have closed, when
 * SECONDS pass without a new connection or data (default 30), or on SIGINT or SIGTERM;
 * connections still open then are closed from our side.
 * Prints one line per connection. Exit status 0 when the CONNECTIONS connections were
 * all served and closed by their peers.
 */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "zorvsock.h"

#define MAX_CONNECTIONS 8
#define ECHO_STALL_S 10.0 /* an echo the peer's window holds back this long fails */
#define CLOSE_WAIT_S 2.0  /* how long our FIN may wait for the peer's ACK */

struct connection {
  zorvsock_handle* h; /* NULL: the slot is free */
  char peer[24];      /* "a.b.c.d:port" */
  long long bytes;
  long segments;
};

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

/* Sends the received bytes back, retrying while the peer's window or the TX room is
 * short. 0, or the send's error. */
static int echo(zorvsock_handle* h, const void* data, int len) {
  const double deadline = now_s() + ECHO_STALL_S;
  int rc;
  do rc = zorvsock_tcp_send(h, data, len, NULL);
  while (rc == -11 && !stop && now_s() < deadline);
  return rc;
}

/* Takes one waiting connection into a free slot. 1 when it was accepted. */
static int accept_one(zorvsock_handle* listener, struct connection* c) {
  zorvsock_handle* f = zorvsock_acquire_handle();
  int rc = zorvsock_tcp_accept(listener, f);
  uint32_t ip;
  uint16_t port;
  char addr[16];
  if (rc == 0) rc = zorvsock_tcp_get_peer(f, &ip, &port);
  if (rc != 0) {
    fprintf(stderr, "tcp_echo_server: accept failed: %d\n", rc);
    zorvsock_release_handle(f);
    return 0;
  }
  c->h = f;
  snprintf(c->peer, sizeof c->peer, "%s:%u", zorvsock_ip2str(addr, ip), port);
  c->bytes = 0;
  c->segments = 0;
  printf("connection from %s accepted\n", c->peer);
  fflush(stdout);
  return 1;
}

/* Our FIN, a short wait for the close to complete, then the handle goes back. */
static void finish(struct connection* c) {
  const double deadline = now_s() + CLOSE_WAIT_S;
  int state;
  zorvsock_tcp_disconnect(c->h);
  do state = zorvsock_tcp_get_status(c->h);
  while (state != ZORVSOCK_TCP_CLOSED && state != ZORVSOCK_TCP_TIME_WAIT && now_s() < deadline);
  zorvsock_release_handle(c->h);
  c->h = NULL;
}

/* One step of a connection: echoes the next received bytes. 1 when something moved, 0
 * when nothing was waiting, -1 when the connection ended (closed by the peer or failed;
 * *clean tells which). */
static int serve_step(struct connection* c, int* clean) {
  const void* data;
  const int len = zorvsock_tcp_zc_receive(c->h, &data, NULL);
  int rc;
  if (len == 0) return 0;
  if (len < 0) {
    *clean = len == -107;
    if (*clean)
      printf("connection from %s closed by the peer: %lld bytes in %ld segments echoed\n",
             c->peer, c->bytes, c->segments);
    else
      printf("connection from %s failed: receive returned %d\n", c->peer, len);
    return -1;
  }
  rc = echo(c->h, data, len);
  zorvsock_tcp_zc_receive_done(c->h);
  if (rc != 0) {
    *clean = 0;
    printf("connection from %s failed: echo of %d bytes returned %d after %lld bytes\n",
           c->peer, len, rc, c->bytes);
    return -1;
  }
  c->bytes += len;
  c->segments++;
  return 1;
}

int main(int argc, char** argv) {
  static struct connection conns[MAX_CONNECTIONS];
  if (argc < 3 || argc > 5) {
    fprintf(stderr, "usage: %s IFNAME PORT [CONNECTIONS [SECONDS]]\n", argv[0]);
    return 2;
  }
  const char* ifname = argv[1];
  const int port = atoi(argv[2]);
  const long limit = argc > 3 ? atol(argv[3]) : 1;
  const double idle_limit = argc > 4 ? atof(argv[4]) : 30.0;
  if (port <= 0 || port > 65535 || limit < 0 || idle_limit <= 0) {
    fprintf(stderr, "tcp_echo_server: bad port, count or time\n");
    return 2;
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);

  zorvsock_handle* listener = zorvsock_acquire_handle();
  int rc = zorvsock_tcp_create_listener(listener, ifname, (uint16_t)port);
  if (rc < 0) {
    fprintf(stderr, "tcp_echo_server: cannot listen on %s port %d: %d\n", ifname, port, rc);
    zorvsock_release_handle(listener);
    return 1;
  }
  printf("tcp_echo_server: listening on %s port %d\n", ifname, port);
  fflush(stdout);

  long accepted = 0, closed = 0, failed = 0;
  int i;
  double last = now_s();
  while (!stop && (limit == 0 || closed + failed < limit)) {
    if (now_s() - last >= idle_limit) break;
    for (i = 0; i < MAX_CONNECTIONS && (limit == 0 || accepted < limit); i++) {
      if (conns[i].h || zorvsock_tcp_accept_ready(listener) != 1) continue;
      if (accept_one(listener, &conns[i])) {
        accepted++;
        last = now_s();
      }
    }
    for (i = 0; i < MAX_CONNECTIONS; i++) {
      int clean = 0, step;
      if (!conns[i].h) continue;
      step = serve_step(&conns[i], &clean);
      if (step > 0) last = now_s();
      if (step >= 0) continue;
      finish(&conns[i]);
      if (clean) closed++;
      else failed++;
      fflush(stdout);
    }
  }
  for (i = 0; i < MAX_CONNECTIONS; i++) {
    if (!conns[i].h) continue;
    printf("connection from %s still open at the end: closed by us\n", conns[i].peer);
    finish(&conns[i]);
    failed++;
  }
  printf("tcp_echo_server: %ld connections accepted, %ld closed by their peers, %ld failed\n",
         accepted, closed, failed);
  zorvsock_release_handle(listener);
  return failed == 0 && (limit == 0 || closed == limit) ? 0 : 1;
}
