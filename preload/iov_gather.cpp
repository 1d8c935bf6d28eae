#include "iov_gather.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace kvel {

namespace {

// Walks n bytes of the entries from the cursor on, handing each contiguous run to `each`
// (its address in the entry and its length), and leaves the cursor past them.
template <typename Each>
void walk(iov_cursor& c, size_t n, Each each) {
  c.left -= n;
  while (n > 0) {
    const size_t run = std::min(n, c.iov->iov_len - c.offset);
    each(static_cast<char*>(c.iov->iov_base) + c.offset, run);
    n -= run;
    c.offset += run;
    if (c.offset == c.iov->iov_len) {
      ++c.iov;
      --c.count;
      c.offset = 0;
    }
  }
  // Entries of length 0 ahead are passed, so that the cursor stands where bytes go next.
  while (c.count > 0 && c.offset == c.iov->iov_len) {
    ++c.iov;
    --c.count;
    c.offset = 0;
  }
}

}  // namespace

ssize_t iov_total(const iovec* iov, long count) {
  if (count < 0 || count > iov_max_entries) return -EINVAL;
  if (iov == nullptr && count > 0) return -EFAULT;
  size_t total = 0;
  for (long i = 0; i < count; ++i) {
    const size_t len = iov[i].iov_len;
    if (iov[i].iov_base == nullptr && len > 0) return -EFAULT;
    if (len > size_t(SSIZE_MAX) - total) return -EINVAL;
    total += len;
  }
  return ssize_t(total);
}

void iov_cursor::put(const void* src, size_t n) {
  const char* from = static_cast<const char*>(src);
  walk(*this, n, [&](char* to, size_t run) {
    memcpy(to, from, run);
    from += run;
  });
}

void iov_cursor::skip(size_t n) {
  walk(*this, n, [](char*, size_t) {});
}

const void* iov_cursor::piece(size_t max, void* scratch, size_t* len) const {
  *len = std::min(max, left);
  if (count > 0 && iov->iov_len - offset >= *len)
    return static_cast<const char*>(iov->iov_base) + offset;
  iov_cursor ahead = *this;
  char* to = static_cast<char*>(scratch);
  walk(ahead, *len, [&](const char* from, size_t run) {
    memcpy(to, from, run);
    to += run;
  });
  return scratch;
}

}  // namespace kvel
