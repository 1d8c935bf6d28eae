#include "iov_gather.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace kvel {

namespace {

// What walk does with one contiguous run: its address in the entry and its length.
using run_fn = void (*)(void* ctx, char* at, size_t run);

// Walks n bytes of the entries from the cursor on, handing each run that holds bytes to
// `each` (an empty entry's base may be null), and leaves the cursor past them.
void walk(iov_cursor& c, size_t n, run_fn each, void* ctx) {
  c.left -= n;
  while (n > 0) {
    const size_t run = std::min(n, c.iov->iov_len - c.offset);
    if (run > 0) each(ctx, static_cast<char*>(c.iov->iov_base) + c.offset, run);
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
  walk(
      *this, n,
      [](void* ctx, char* to, size_t run) {
        const char*& next = *static_cast<const char**>(ctx);
        memcpy(to, next, run);
        next += run;
      },
      &from);
}

void iov_cursor::skip(size_t n) {
  walk(*this, n, [](void*, char*, size_t) {}, nullptr);
}

const void* iov_cursor::piece(size_t max, void* scratch, size_t* len) const {
  *len = std::min(max, left);
  if (count > 0 && iov->iov_len - offset >= *len)
    return static_cast<const char*>(iov->iov_base) + offset;
  iov_cursor ahead = *this;
  char* to = static_cast<char*>(scratch);
  walk(
      ahead, *len,
      [](void* ctx, char* from, size_t run) {
        char*& next = *static_cast<char**>(ctx);
        memcpy(next, from, run);
        next += run;
      },
      &to);
  return scratch;
}

}  // namespace kvel
