#include <cerrno>

#include "data_paths.h"

namespace kvel {

// As the kernel's: no entry is touched for a vlen of 0, and at most UIO_MAXIOV are.
long each_message(data_call& c, mmsghdr* vec, unsigned vlen, message_call one, void* context) {
  if (vlen == 0) return 0;
  if (vec == nullptr) return -EFAULT;
  if (vlen > unsigned(iov_max_entries)) vlen = iov_max_entries;
  unsigned done = 0;
  long result = 0;
  while (done < vlen && c.held) {
    result = one(c, vec[done], done, context);
    if (result < 0) break;
    vec[done++].msg_len = unsigned(result);
  }
  return done > 0 ? long(done) : result;
}

}  // namespace kvel
