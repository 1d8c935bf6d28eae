#include "handshakes.h"

#include <ctime>

#include "socket_setup.h"

namespace kvel {

namespace {

constexpr uint64_t handshake_limit_ns = 5'000'000'000;

uint64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1'000'000'000 + uint64_t(t.tv_nsec);
}

void give_up(socket_record* l, int i) {
  zorvsock_release_handle(l->handshake[i]);
  l->handshake[i] = nullptr;
}

// A reset ends a handshake; one the peer leaves unanswered ends at the limit.
void drop_failed(socket_record* l, uint64_t now) {
  for (int i = 0; i < handshake_slots; ++i) {
    if (l->handshake[i] == nullptr) continue;
    const int state = zorvsock_tcp_get_status(l->handshake[i]);
    if (state == ZORVSOCK_TCP_CLOSED ||
        (state == ZORVSOCK_TCP_SYN_RCV && now - l->handshake_since[i] > handshake_limit_ns))
      give_up(l, i);
  }
}

void answer_queued(socket_record* l, uint64_t now) {
  for (int i = 0; i < handshake_slots && zorvsock_tcp_accept_ready(l->handle) > 0; ++i) {
    if (l->handshake[i] != nullptr) continue;
    zorvsock_handle* h = init_handle(l);
    if (h == nullptr) return;
    if (zorvsock_tcp_accept_start(l->handle, h) != 0) {
      zorvsock_release_handle(h);
      return;
    }
    l->handshake[i] = h;
    l->handshake_since[i] = now;
  }
}

bool finished(const socket_record* l, int i) {
  return l->handshake[i] != nullptr &&
         zorvsock_tcp_get_status(l->handshake[i]) != ZORVSOCK_TCP_SYN_RCV;
}

// The slot of a finished handshake (the oldest), or -1.
int finished_slot(socket_record* l) {
  const uint64_t now = now_ns();
  drop_failed(l, now);
  answer_queued(l, now);
  int found = -1;
  for (int i = 0; i < handshake_slots; ++i)
    if (finished(l, i) && (found < 0 || l->handshake_since[i] < l->handshake_since[found]))
      found = i;
  return found;
}

}  // namespace

bool handshake_done(socket_record* listener) { return finished_slot(listener) >= 0; }

zorvsock_handle* take_handshake(socket_record* listener) {
  const int i = finished_slot(listener);
  if (i < 0) return nullptr;
  zorvsock_handle* h = listener->handshake[i];
  listener->handshake[i] = nullptr;
  return h;
}

void drop_handshakes(socket_record* listener) {
  for (int i = 0; i < handshake_slots; ++i)
    if (listener->handshake[i] != nullptr) give_up(listener, i);
}

}  // namespace kvel
