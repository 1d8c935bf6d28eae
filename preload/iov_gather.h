// The caller's iovec arrays as the data paths see them: their checked total, and a
// cursor that fills them from a received segment or hands out the pieces of a send,
// pointing into the caller's memory where a piece lies within one entry and gathering it
// into the caller's scratch buffer where it spans several.
#pragma once
#include <cstddef>
#include <sys/types.h>
#include <sys/uio.h>

namespace kvel {

inline constexpr int iov_max_entries = 1024;  // the kernel's limit on one call's iovecs

// The sum of the entries' lengths; -EINVAL for a count outside 0..1024 or a sum beyond
// what a result can report (a wrapped sum would let a copy run past its buffer),
// -EFAULT for a null array or a null base under a length.
ssize_t iov_total(const iovec* iov, long count);

struct iov_cursor {
  const iovec* iov;  // the entry the cursor stands in
  long count;        // entries from iov on
  size_t offset;     // bytes of iov[0] already used
  size_t left;       // bytes from the cursor to the end of the last entry

  // A cursor at the start of count entries totalling total bytes (iov_total's result).
  static iov_cursor over(const iovec* entries, long count, size_t total) {
    return {entries, count, 0, total};
  }
  // Copies n bytes (at most `left`) from src into the entries and moves past them.
  void put(const void* src, size_t n);
  // Moves past n bytes (at most `left`).
  void skip(size_t n);
  // The next piece of up to max bytes, without moving: a pointer into the entry when
  // the piece lies within it, else the bytes gathered into scratch (max bytes of room).
  const void* piece(size_t max, void* scratch, size_t* len) const;
};

}  // namespace kvel
