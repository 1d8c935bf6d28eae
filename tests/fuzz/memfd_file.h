// A file in memory with a path, for targets whose code under test reads a named file:
// each input replaces its contents, and nothing touches a disk.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"

struct memfd_file {
  int fd = memfd_create("fuzz-input", MFD_CLOEXEC);
  std::string path = "/proc/self/fd/" + std::to_string(fd);

  // The file's path, holding exactly the size bytes at data.
  const std::string& hold(const uint8_t* data, size_t size) {
    FUZZ_CHECK(fd >= 0 && ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, data, size, 0) == ssize_t(size));
    return path;
  }
};
