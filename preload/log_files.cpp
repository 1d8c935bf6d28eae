#include "log_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include "status_block.h"
#include "sys_calls.h"
#include "trace_log.h"

namespace kvel {

namespace {

constexpr char log_prefix[] = "zorvnic_log_";
constexpr size_t prune_list_max = 16;
constexpr size_t status_block_size = 262144;
// Names the log that a traced ancestor (or an earlier program image) already opened, so
// that its descendants append to it rather than truncating what it wrote.
constexpr char shared_log_variable[] = "ZORVLOAD_LOGFILE_OPEN";

[[noreturn]] void abort_start(const char* fmt, const char* text) {
  fprintf(stderr, fmt, text);  // the program's output is its own
  exit(1);
}

// The log keeps clear of the low descriptor numbers, which the program expects to get
// in order from its own socket(), open() and pipe() calls.
constexpr long log_fd_floor = 768;

int move_out_of_the_way(int fd) {
  int high = int(syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, log_fd_floor));
  if (high < 0) return fd;
  sys_close(fd);
  return high;
}

// Every writer appends, so the first opener's lines and those of later programs that
// inherit the path never overwrite each other.
FILE* open_log(const char* path) {
  const char* shared = getenv(shared_log_variable);
  int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  if (shared == nullptr || strcmp(shared, path) != 0) flags |= O_TRUNC;
  int fd = open(path, flags, 0666);
  if (fd < 0) return nullptr;
  fd = move_out_of_the_way(fd);
  // Held while the process lives (and by its forked children, which share it): the
  // pruning of other processes leaves a log alone while someone holds it.
  flock(fd, LOCK_SH);
  FILE* f = fdopen(fd, "a");
  if (f == nullptr) {
    sys_close(fd);
    return nullptr;
  }
  setenv(shared_log_variable, path, 1);
  return f;
}

// A log that a live process holds its shared lock on.
bool held_by_a_process(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  sys_close(fd);
  return held;
}

constexpr char banner[] =
    "=====================\n= Application start =\n=====================\n";

void write_counted(const char* text, size_t len) {
  trace_bytes.fetch_add(int32_t(len), std::memory_order_relaxed);
  fwrite(text, 1, len, trace_file);
}

void write_status_block() {
  char* block = static_cast<char*>(malloc(status_block_size));
  if (block == nullptr) return;
  size_t len = format_status_block(block, status_block_size - sizeof banner);
  if (len > 0) {
    // Block and banner go out in one write, whole even beside other processes' lines.
    memcpy(block + len, banner, sizeof banner);
    write_counted(block, len + sizeof banner - 1);
    fflush(trace_file);
  }
  free(block);
}

// Children that change directory append to the same log: the name given on is absolute.
void name_new_log(const char* dir) {
  char cwd[log_name_size];
  char absolute[log_name_size];
  if (dir[0] != '/' && getcwd(cwd, sizeof cwd) != nullptr &&
      size_t(snprintf(absolute, sizeof absolute, "%s/%s", cwd, dir)) < sizeof absolute)
    dir = absolute;
  char name[log_name_size];
  // Refused before pruning, so that nothing of a directory that cannot hold the log goes.
  if (make_log_name(name, dir) < 0)
    abort_start("ZORVLOAD_LOGDIR is too long for a log file name: %s, aborting\n", dir);
  prune_logs(4, dir);
  setenv("ZORVLOAD_LOGFILE", name, 0);
}

}  // namespace

void setup_trace_log() {
  const char* dir = getenv("ZORVLOAD_LOGDIR");
  if (dir == nullptr) dir = ".";
  if (getenv("ZORVLOAD_LOGFILE") == nullptr) name_new_log(dir);
  const char* path = getenv("ZORVLOAD_LOGFILE");
  if (strcmp(path, "-") == 0) {
    trace_file = stdout;
    trace_budget = trace_stdout_budget;
  } else {
    trace_file = open_log(path);
  }
  if (trace_file == nullptr) abort_start("Cannot open %s, aborting\n", path);
  if (getenv("VERBOSE") != nullptr) {
    trace_budget = trace_large_budget;
    verbose_file = trace_file;
  }
  if (getenv("ZORVLOAD_TRACE1GB") != nullptr) trace_budget = trace_large_budget;
  setvbuf(trace_file, nullptr, _IONBF, 0);
  if (trace_file != stdout) write_status_block();
}

int prune_logs(int keep, const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  char names[prune_list_max][256];
  size_t count = 0;
  while (count < prune_list_max) {
    const dirent* e = readdir(d);
    if (e == nullptr) break;
    if (e->d_type != DT_REG || strncmp(e->d_name, log_prefix, strlen(log_prefix)) != 0)
      continue;
    size_t at = 0;
    while (at < count && strcmp(names[at], e->d_name) > 0) ++at;
    memmove(names[at + 1], names[at], (count - at) * sizeof names[0]);
    snprintf(names[at], sizeof names[at], "%s", e->d_name);
    ++count;
  }
  closedir(d);
  for (size_t i = size_t(keep); i < count; ++i) {
    char path[256];
    // A path that does not fit is left alone: a cut path would name another file.
    int n = snprintf(path, sizeof path, "%s/%s", dir, names[i]);
    if (n > 0 && size_t(n) < sizeof path && !held_by_a_process(path)) unlink(path);
  }
  return 0;
}

int make_log_name(char* buf, const char* dir) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  int n = snprintf(buf, log_name_size, "%s/zorvnic_log_%u-%02u-%02u-%02u-%02u-%02u.%06u.log",
                   dir, unsigned(local.tm_year + 1900), unsigned(local.tm_mon + 1),
                   unsigned(local.tm_mday), unsigned(local.tm_hour), unsigned(local.tm_min),
                   unsigned(local.tm_sec), unsigned(tv.tv_usec));
  if (n < 0 || size_t(n) >= log_name_size) {
    buf[0] = '\0';
    return -1;
  }
  return 0;
}

}  // namespace kvel
