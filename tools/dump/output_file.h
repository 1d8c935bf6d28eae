// The capture file, written through a ring of eight 4 MiB slots: the capture writer
// fills them on the packet thread, the file thread writes each full one with a single
// call. By default the file bypasses the page cache (O_DIRECT), which needs whole
// 4096-byte blocks from aligned buffers; a second, O_SYNC descriptor appends the
// unaligned remainder at the close. With -U (unbuffered) the file is O_SYNC and slots
// of any length are written as they come.
#pragma once
#include <atomic>
#include <cstdint>

namespace zdump {

constexpr uint32_t SLOT_BYTES = 4u << 20;
constexpr int SLOT_COUNT = 8;
constexpr uint32_t DIRECT_BLOCK = 4096;

struct file_slot {
  unsigned char* buf = nullptr;  // SLOT_BYTES, aligned to DIRECT_BLOCK
  // Owned by the writer while full is clear, by the file side while it is set.
  uint32_t len = 0;
  // Hand-over: set by the writer (release) after the bytes and len, cleared by the file
  // side (release) after writing them and resetting len; both read it acquire.
  std::atomic<uint8_t> full{0};
};

struct output_file {
  int fd = -1;
  bool direct = false;  // fd has O_DIRECT
  int sync_fd = -1;     // O_SYNC descriptor for the unaligned remainder (with O_DIRECT only)
  int next = 0;         // the next slot to write (file thread, then the closing main thread)
  uint64_t idle_steps = 0;  // writes and idle steps since the last fsync (file thread)
  file_slot slots[SLOT_COUNT];
};

// Opens (and truncates) the file; null after a message with errno set.
output_file* open_output_file(const char* path, bool unbuffered);
// One step of the file thread: the bytes written, 0 when nothing was, -1 after a
// message on a write error.
int64_t run_wr_file(output_file* f);
// Writes every slot still full, in order, and closes the file; -1 after a message
// when a write failed. Null allowed.
int close_output_file(output_file* f);

}  // namespace zdump
