// sendfile and sendfile64 on a card TCP socket: the file's bytes are read at the offset
// (or the file position) and sent through the stream's send path, so that a partial
// send, EAGAIN on a full non-blocking socket and the wait of a blocking one are those of
// write. The offset, or the file position, moves by what was sent, as the kernel's does.
// Every other descriptor, a card UDP socket included, is the kernel's call.
#include <cerrno>
#include <unistd.h>

#include "data_paths.h"
#include "emulated_records.h"
#include "handlers.h"
#include "real_calls.h"

namespace kvel {

namespace {

constexpr size_t file_piece = 16384;  // read from the file and sent per turn
constexpr size_t sendfile_max = 0x7ffff000;  // the kernel's limit of one call

// Sends count bytes of in_fd from pos; bytes sent, or -errno when nothing was.
long send_from_file(data_call& c, int in_fd, off_t pos, size_t count) {
  char piece[file_piece];
  long total = 0;
  while (size_t(total) < count && c.held) {
    const size_t want = count - size_t(total) < file_piece ? count - size_t(total) : file_piece;
    const ssize_t got = pread(in_fd, piece, want, pos + total);
    if (got <= 0) return total > 0 || got == 0 ? total : -long(errno);
    const iovec one{piece, size_t(got)};
    tx_request rq{iov_cursor::over(&one, 1, size_t(got)), 0, nullptr, 0,
                  wait_deadline::of(c.rec->snd_timeout_us)};
    const long sent = send_stream(c, rq);
    if (sent < 0) return total > 0 ? total : sent;
    total += sent;
    if (sent < got) break;
  }
  return total;
}

// A non-seekable input (a pipe) is refused as the kernel refuses inputs it cannot map.
long send_file(data_call& c, int in_fd, off_t* offset, size_t count) {
  off_t pos = 0;
  if (offset != nullptr && !read_caller_memory(&pos, offset, sizeof pos)) return -EFAULT;
  if (offset == nullptr) pos = lseek(in_fd, 0, SEEK_CUR);
  if (pos < 0) return errno == ESPIPE ? -EINVAL : -long(errno);
  const long sent = send_from_file(c, in_fd, pos, count < sendfile_max ? count : sendfile_max);
  if (sent <= 0) return sent;
  if (offset != nullptr) {
    *offset = pos + sent;
  } else {
    lseek(in_fd, pos + sent, SEEK_SET);
  }
  return sent;
}

}  // namespace

}  // namespace kvel

using namespace kvel;

extern "C" ssize_t vyx_sendfile(int out_fd, int in_fd, off_t* offset, size_t count) {
  data_call c = data_call::claimed(out_fd);
  if (c.rec->kind != RECORD_TCP) {
    hand_claimed_to_kernel(out_fd);
    return real_sendfile(out_fd, in_fd, offset, count);
  }
  ZL_KERNEL_RECORD(c, sendfile, out_fd, in_fd, offset, count)
  return c.finish("vyx_sendfile", send_file(c, in_fd, offset, count));
}

extern "C" ssize_t vyx_sendfile64(int out_fd, int in_fd, off64_t* offset, size_t count) {
  return vyx_sendfile(out_fd, in_fd, offset, count);
}
