// The caller's data into the TCP stream of a hardware socket. The interposer cuts it
// into pieces itself, so that every piece is one segment that the library takes whole
// or not at all: a non-blocking send returns what fitted, a blocking one gives the
// descriptor up between its polls, and what was sent is never reported as unsent.
#include <cerrno>
#include <csignal>

#include "data_paths.h"

namespace kvel {

namespace {

constexpr size_t segment_bytes = 1460;  // the largest piece; a smaller peer MSS cuts finer

// After the library refused a piece as larger than the peer's MSS: the pieces are cut
// to that MSS; false when they already were.
bool narrow_to_peer_mss(zorvsock_handle* h, size_t* piece_max) {
  uint16_t mss = 0;
  int len = sizeof mss;
  if (zorvsock_get_opt(h, ZORVSOCK_OPT_TCP_TX_MSS, &mss, &len) != 0) return false;
  if (mss == 0 || mss >= *piece_max) return false;
  *piece_max = mss;
  return true;
}

// A stream that can send no more answers as the kernel's does: EPIPE, with SIGPIPE
// unless the caller asked MSG_NOSIGNAL.
long broken_pipe(int flags) {
  if ((flags & MSG_NOSIGNAL) == 0) raise(SIGPIPE);
  return -EPIPE;
}

}  // namespace

long send_stream(data_call& c, tx_request& rq) {
  char scratch[segment_bytes];
  size_t piece_max = segment_bytes;
  long sent = 0;
  while (rq.from.left > 0) {
    if (load_shared(c.rec->shut_wr) != 0)
      return sent > 0 ? sent : broken_pipe(rq.flags);
    size_t len = 0;
    const void* piece = rq.from.piece(piece_max, scratch, &len);
    const int rc = zorvsock_tcp_send(c.rec->handle, piece, int(len), nullptr);
    if (rc == 0) {
      rq.from.skip(len);
      sent += long(len);
    } else if (rc == -EAGAIN) {
      long result = 0;
      if (!wait_for_room(c, rq, sent, &result)) return result;
    } else if (rc != -EFAULT || !narrow_to_peer_mss(c.rec->handle, &piece_max)) {
      return sent > 0 ? sent : broken_pipe(rq.flags);
    }
  }
  return sent;
}

}  // namespace kvel
