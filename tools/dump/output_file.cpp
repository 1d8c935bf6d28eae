#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zdump {
namespace {

constexpr int OPEN_FLAGS = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
constexpr mode_t FILE_MODE = 0644;
constexpr uint64_t IDLE_STEPS_PER_FSYNC = 100000;

// The whole buffer, over partial writes and interruptions; false after a message.
bool write_all(int fd, const unsigned char* buf, uint32_t len) {
  while (len) {
    ssize_t n = write(fd, buf, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fprintf(stderr, "Error write: %s\n", strerror(errno));
      return false;
    }
    buf += n;
    len -= uint32_t(n);
  }
  return true;
}

void release_slot(output_file* f) {
  file_slot& s = f->slots[f->next];
  s.len = 0;
  s.full.store(0, std::memory_order_release);
  f->next = (f->next + 1) % SLOT_COUNT;
}

// A slot that an O_DIRECT descriptor cannot take: its length is not whole blocks.
bool needs_sync_fd(const output_file* f, const file_slot& s) {
  return f->direct && s.len % DIRECT_BLOCK;
}

// Appends the slot after all that the O_DIRECT descriptor has written.
bool append_synced(output_file* f, const file_slot& s) {
  if (fsync(f->fd) != 0 || lseek(f->sync_fd, 0, SEEK_END) < 0) {
    fprintf(stderr, "Error appending the last slot: %s\n", strerror(errno));
    return false;
  }
  bool ok = write_all(f->sync_fd, s.buf, s.len);
  lseek(f->fd, 0, SEEK_END);
  return ok;
}

void free_output_file(output_file* f) {
  if (f->fd >= 0) close(f->fd);
  if (f->sync_fd >= 0) close(f->sync_fd);
  for (file_slot& s : f->slots) free(s.buf);
  delete f;
}

}  // namespace

output_file* open_output_file(const char* path, bool unbuffered) {
  auto* f = new output_file;
  f->fd = open(path, OPEN_FLAGS | (unbuffered ? O_SYNC : O_DIRECT), FILE_MODE);
  f->direct = !unbuffered && f->fd >= 0;
  // A pipe would take O_DIRECT as its packet mode: plain writes there.
  struct stat st;
  if (f->direct && fstat(f->fd, &st) == 0 && !S_ISREG(st.st_mode)) {
    fcntl(f->fd, F_SETFL, fcntl(f->fd, F_GETFL) & ~O_DIRECT);
    f->direct = false;
  }
  // File systems without O_DIRECT (ramfs), and pipes, take plain writes.
  if (f->fd < 0) f->fd = open(path, OPEN_FLAGS, FILE_MODE);
  if (f->fd < 0) {
    fprintf(stderr, "Error opening output file: %s\n", strerror(errno));
  } else if (f->direct && (f->sync_fd = open(path, O_WRONLY | O_CLOEXEC | O_SYNC)) < 0) {
    fprintf(stderr, "Error opening output file synced: %s\n", strerror(errno));
  } else {
    int rc = 0;
    for (file_slot& s : f->slots) {
      void* p = nullptr;
      if ((rc = posix_memalign(&p, DIRECT_BLOCK, SLOT_BYTES)) != 0) break;
      s.buf = static_cast<unsigned char*>(p);
    }
    if (rc == 0) return f;
    fprintf(stderr, "Error posix_memalign: %d\n", rc);
    errno = rc;
  }
  int err = errno;
  free_output_file(f);
  errno = err;
  return nullptr;
}

int64_t run_wr_file(output_file* f) {
  file_slot& s = f->slots[f->next];
  if (s.full.load(std::memory_order_acquire)) {
    if (needs_sync_fd(f, s)) return 0;  // the close appends it
    uint32_t len = s.len;
    if (!write_all(f->fd, s.buf, len)) return -1;
    ++f->idle_steps;
    release_slot(f);
    return len;
  }
  if (f->idle_steps == 0) return 0;
  // Once the data have rested a while, make sure they reach the disk.
  if (++f->idle_steps > IDLE_STEPS_PER_FSYNC) {
    fsync(f->fd);
    f->idle_steps = 0;
  }
  return 0;
}

int close_output_file(output_file* f) {
  if (!f) return 0;
  int rc = 0;
  for (int i = 0; i < SLOT_COUNT && rc == 0; ++i) {
    file_slot& s = f->slots[f->next];
    if (!s.full.load(std::memory_order_acquire)) break;
    bool ok = needs_sync_fd(f, s) ? append_synced(f, s) : write_all(f->fd, s.buf, s.len);
    if (!ok) rc = -1;
    release_slot(f);
  }
  // A pipe cannot be synced; what it took is all it gets.
  fsync(f->fd);
  free_output_file(f);
  return rc;
}

}  // namespace zdump
