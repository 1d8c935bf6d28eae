// The interposer's view of iovec arrays: the checked total of a call's entries, and the
// cursor that fills them from a held segment and hands out the pieces of a send.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "iov_gather.h"

namespace {

using kvel::iov_cursor;
using kvel::iov_total;

char a[8], b[8], c[8];

TEST(IovTotal, RefusesWhatTheKernelRefuses) {
  const struct {
    const char* name;
    iovec iov[3];
    long count;
    ssize_t want;
  } cases[] = {
      {"three entries", {{a, 3}, {b, 0}, {c, 5}}, 3, 8},
      {"no entries", {}, 0, 0},
      {"negative count", {{a, 1}}, -1, -EINVAL},
      {"null base under a length", {{a, 1}, {nullptr, 4}}, 2, -EFAULT},
      {"null base of length 0", {{nullptr, 0}, {a, 2}}, 2, 2},
      {"sum beyond SSIZE_MAX", {{a, size_t(SSIZE_MAX)}, {b, 1}}, 2, -EINVAL},
      // Summed in size_t these wrap to 1 byte: a copy by that total would overrun.
      {"sum that wraps", {{a, SIZE_MAX}, {b, 2}}, 2, -EINVAL},
      {"entries after a wrapped pair", {{a, SIZE_MAX / 2 + 1}, {b, SIZE_MAX / 2 + 1}, {c, 1}}, 3,
       -EINVAL},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    EXPECT_EQ(iov_total(t.iov, t.count), t.want);
  }
  static iovec many[1025];
  for (iovec& v : many) v = {a, 1};
  EXPECT_EQ(iov_total(many, 1024), 1024);
  EXPECT_EQ(iov_total(many, 1025), -EINVAL);
  EXPECT_EQ(iov_total(nullptr, 1), -EFAULT);
  EXPECT_EQ(iov_total(nullptr, 0), 0);
}

// A segment delivered over several calls into entries with empty ones between them
// lands in order, and each call starts where the entries have room.
TEST(IovCursor, PutFillsEntriesInOrderAcrossEmptyOnes) {
  char x[3] = {}, y[4] = {}, z[2] = {};
  iovec iov[] = {{nullptr, 0}, {x, 3}, {nullptr, 0}, {y, 4}, {z, 2}};
  iov_cursor to = iov_cursor::over(iov, 5, 9);
  to.put("abcde", 5);
  EXPECT_EQ(to.left, 4u);
  to.put("fghi", 4);
  EXPECT_EQ(to.left, 0u);
  EXPECT_EQ(std::string(x, 3) + std::string(y, 4) + std::string(z, 2), "abcdefghi");
  EXPECT_EQ(to.count, 0);
}

// A piece within one entry is read in place; one that spans entries is gathered, and
// taking a piece never moves the cursor until it is skipped.
TEST(IovCursor, PiecesPointInPlaceOrGatherAcrossEntries) {
  char x[] = "0123", y[] = "45", z[] = "6789";
  iovec iov[] = {{x, 4}, {y, 2}, {z, 4}};
  iov_cursor from = iov_cursor::over(iov, 3, 10);
  char scratch[8];
  size_t len = 0;
  const void* p = from.piece(3, scratch, &len);
  EXPECT_EQ(p, x);
  EXPECT_EQ(len, 3u);
  from.skip(3);
  p = from.piece(4, scratch, &len);
  EXPECT_EQ(p, scratch);
  EXPECT_EQ(std::string(static_cast<const char*>(p), len), "3456");
  EXPECT_EQ(from.left, 7u);
  from.skip(4);
  p = from.piece(8, scratch, &len);
  EXPECT_EQ(p, z + 1);
  EXPECT_EQ(std::string(static_cast<const char*>(p), len), "789");
  from.skip(len);
  EXPECT_EQ(from.left, 0u);
  p = from.piece(8, scratch, &len);
  EXPECT_EQ(len, 0u);
}

}  // namespace
