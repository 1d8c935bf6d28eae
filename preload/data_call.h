// A data call on a claimed descriptor: the record it started with, and the waits of a
// blocking call, which give the slot up between polls (a reader and a writer on one
// socket, close and shutdown from another thread and the monitor all go on meanwhile),
// find the record again by the slot's generation, and end when a signal handler asks.
#pragma once
#include <cerrno>
#include <sys/types.h>

#include "fd_lock.h"
#include "trace_log.h"
#include "wait_deadline.h"
#include "wait_signals.h"

namespace kvel {

struct data_call {
  int fd;
  uint32_t generation;  // the slot's generation when the call claimed it
  socket_record* rec;   // null once the descriptor was closed during a wait
  bool held;            // the call still holds the slot
  wait_signals signals;  // held back from the first pause to the call's end

  static data_call claimed(int fd) {
    return {fd, slot_generation(fd), lookup_socket_record(fd), true, {}};
  }

  // One pause of a blocking wait until `until`: 0 to poll again; -EINTR when a signal
  // handler ended the wait; -EBADF when the descriptor was closed meanwhile (the slot is
  // given back then, and the record must not be touched again).
  int wait_turn(const wait_deadline& until) {
    if (const int interrupted = signals.take(until.timeout_us != 0)) return interrupted;
    if (pause_slot(fd, generation)) return 0;
    held = false;
    rec = nullptr;
    return -EBADF;
  }

  // Gives the slot back (once) and answers in POSIX style: a result below 0 is -errno.
  long finish(const char* name, long result) {
    result = answer(result);
    if (trace_file != nullptr) trace_return(name, result);
    return result;
  }
  // The same, with the descriptor in the result line: the receive calls, whose lines a
  // reader of a program with many connections must match to a socket.
  long finish_fd(const char* name, long result) {
    result = answer(result);
    if (trace_file != nullptr) trace_return_fd(name, fd, result);
    return result;
  }

  // The slot given back and the result in POSIX form, without a line.
  long answer(long result) {
    if (held) release_slot(fd);
    held = false;
    signals.end();
    if (result < 0) {
      errno = int(-result);
      result = -1;
    }
    return result;
  }
};

// Fields that another thread may change while a call of libzorvload_unsafe reads them
// without a lock: shutdown's shut_rd and shut_wr, a sender's pending.
inline uint8_t load_shared(const uint8_t& field) {
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}
inline void store_shared(uint8_t& field, uint8_t value) {
  __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}

// A result of the C library as a result of the data paths: bytes, or -errno.
inline long kernel_result(ssize_t r) { return r < 0 ? -long(errno) : long(r); }

// The hardware kind a data call serves on this record (RECORD_TCP or RECORD_UDP), or 0
// when the call belongs to the C library.
inline int data_kind(const socket_record* r) {
  if (r == nullptr || r->handle == nullptr) return 0;
  return r->kind == RECORD_TCP || r->kind == RECORD_UDP ? r->kind : 0;
}

}  // namespace kvel

namespace kvel {
// Gives a claimed slot back. An emulated eventfd or timerfd becomes the kernel's alone
// first: a call that the emulation does not serve (readv, writev) changes the kernel
// object behind the record's back.
void hand_claimed_to_kernel(int fd);
}  // namespace kvel

// The start of a data handler: a record without a hardware session goes to the C library
// with the caller's arguments unchanged, its kernel socket answering. The traced form
// writes "doing <word> on kernel" for the handler `name` first.
#define ZL_KERNEL_RECORD_TRACED(c, name, word, call, ...) \
  if (kvel::data_kind(c.rec) == 0) {                      \
    kvel::hand_claimed_to_kernel(c.fd);                   \
    kvel::trace_kernel_call(name, word);                  \
    return kvel::real_##call(__VA_ARGS__);                \
  }
#define ZL_KERNEL_RECORD(c, call, ...) \
  ZL_KERNEL_RECORD_TRACED(c, nullptr, nullptr, call, __VA_ARGS__)

namespace kvel {
// A card listener's kernel twin is bound but not listening, so it would answer a
// receive of urgent data as an unconnected socket does (EINVAL); a listener's answer is
// ENOTCONN, as for every other receive.
inline bool listener_urgent(const socket_record* r, int flags) {
  return r != nullptr && r->kind == RECORD_TCP_LISTENER && (flags & MSG_OOB) != 0;
}
}  // namespace kvel

// The same for a receive with flags, traced as ZL_KERNEL_RECORD_TRACED.
#define ZL_KERNEL_RECEIVE(c, flags, name, word, call, ...)                            \
  if (kvel::data_kind(c.rec) == 0 && kvel::listener_urgent(c.rec, flags))             \
    return c.finish(name, -ENOTCONN);                                                  \
  ZL_KERNEL_RECORD_TRACED(c, name, word, call, __VA_ARGS__)
