// What an intercepted call costs when it passes to the C library: getsockname on a
// kernel socket, write on a pipe and syscall(SYS_getppid), called directly and through
// the preload library's entry points, and getsockname on an IPv4 socket that the library
// manages (made through its socket entry point, so that it has a record; and on a
// duplicate of it made through the dup entry point) beside the same call on a plain IPv4
// socket, in one run. The library is opened with dlopen (tracing off), so its
// entry points are reached through dlsym while the plain calls still go to the C library.
// The library is looked up beside this program's build directory, or at $ZORVLOAD_LIB.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstdlib>
#include <dlfcn.h>

#include "zorvload_lib.h"
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using getsockname_fn = int (*)(int, sockaddr*, socklen_t*);
using write_fn = ssize_t (*)(int, const void*, size_t);
using socket_fn = int (*)(int, int, int);
using close_fn = int (*)(int);
using dup_fn = int (*)(int);
using syscall_fn = long (*)(long, ...);

struct interposer {
  getsockname_fn getsockname_entry = nullptr;
  write_fn write_entry = nullptr;
  socket_fn socket_entry = nullptr;
  close_fn close_entry = nullptr;
  dup_fn dup_entry = nullptr;
  syscall_fn syscall_entry = nullptr;

  interposer() {
    void* handle = card_bench::open_zorvload();
    if (handle == nullptr) return;
    getsockname_entry = reinterpret_cast<getsockname_fn>(dlsym(handle, "getsockname"));
    write_entry = reinterpret_cast<write_fn>(dlsym(handle, "write"));
    socket_entry = reinterpret_cast<socket_fn>(dlsym(handle, "socket"));
    close_entry = reinterpret_cast<close_fn>(dlsym(handle, "close"));
    dup_entry = reinterpret_cast<dup_fn>(dlsym(handle, "dup"));
    syscall_entry = reinterpret_cast<syscall_fn>(dlsym(handle, "syscall"));
  }
};

const interposer& library() {
  static interposer lib;
  return lib;
}

void getsockname_loop(benchmark::State& state, getsockname_fn call, int fd) {
  sockaddr_storage addr{};
  for (auto _ : state) {
    socklen_t len = sizeof addr;
    benchmark::DoNotOptimize(call(fd, reinterpret_cast<sockaddr*>(&addr), &len));
  }
}

void getsockname_on_kernel_socket(benchmark::State& state, getsockname_fn call) {
  if (call == nullptr) {
    state.SkipWithError("libzorvload.so not found (set ZORVLOAD_LIB)");
    return;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  getsockname_loop(state, call, fd);
  close(fd);
}

// An IPv4 socket of the library's own (socket_entry) or a plain one; with `duplicate`
// the calls go to a second number of the library's socket.
void getsockname_on_inet_socket(benchmark::State& state, bool managed, bool duplicate = false) {
  const interposer& lib = library();
  if (lib.socket_entry == nullptr) {
    state.SkipWithError("libzorvload.so not found (set ZORVLOAD_LIB)");
    return;
  }
  int fd = managed ? lib.socket_entry(AF_INET, SOCK_DGRAM, 0) : socket(AF_INET, SOCK_DGRAM, 0);
  const int copy = duplicate ? lib.dup_entry(fd) : fd;
  getsockname_loop(state, managed ? lib.getsockname_entry : ::getsockname, copy);
  if (duplicate) lib.close_entry(copy);
  if (managed) lib.close_entry(fd);
  else close(fd);
}

// A number that the syscall entry point passes on: it costs a compare beside the plain call.
void getppid_by_syscall(benchmark::State& state, syscall_fn call) {
  if (call == nullptr) {
    state.SkipWithError("libzorvload.so not found (set ZORVLOAD_LIB)");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(call(SYS_getppid));
}

void write_on_pipe(benchmark::State& state, write_fn call) {
  if (call == nullptr) {
    state.SkipWithError("libzorvload.so not found (set ZORVLOAD_LIB)");
    return;
  }
  int p[2];
  if (pipe(p) != 0) {
    state.SkipWithError("no pipe");
    return;
  }
  char byte = 0;
  for (auto _ : state) {
    // The plain read that empties the pipe again is part of both figures.
    benchmark::DoNotOptimize(call(p[1], &byte, 1));
    benchmark::DoNotOptimize(read(p[0], &byte, 1));
  }
  close(p[0]);
  close(p[1]);
}

// The plain figures are taken with the library loaded too (its monitor thread running),
// so that the two differ only in the path of the call.
void BM_getsockname_plain(benchmark::State& state) {
  library();
  getsockname_on_kernel_socket(state, ::getsockname);
}
void BM_getsockname_intercepted(benchmark::State& state) {
  getsockname_on_kernel_socket(state, library().getsockname_entry);
}
void BM_write_pipe_plain(benchmark::State& state) {
  library();
  write_on_pipe(state, ::write);
}
void BM_write_pipe_intercepted(benchmark::State& state) {
  write_on_pipe(state, library().write_entry);
}

void BM_getsockname_inet_plain(benchmark::State& state) { getsockname_on_inet_socket(state, false); }
void BM_getsockname_inet_managed(benchmark::State& state) { getsockname_on_inet_socket(state, true); }
void BM_getsockname_inet_managed_duplicate(benchmark::State& state) {
  getsockname_on_inet_socket(state, true, true);
}
void BM_syscall_getppid_plain(benchmark::State& state) {
  library();
  getppid_by_syscall(state, ::syscall);
}
void BM_syscall_getppid_intercepted(benchmark::State& state) {
  getppid_by_syscall(state, library().syscall_entry);
}

BENCHMARK(BM_getsockname_plain);
BENCHMARK(BM_getsockname_intercepted);
BENCHMARK(BM_write_pipe_plain);
BENCHMARK(BM_write_pipe_intercepted);
BENCHMARK(BM_getsockname_inet_plain);
BENCHMARK(BM_getsockname_inet_managed);
BENCHMARK(BM_getsockname_inet_managed_duplicate);
BENCHMARK(BM_syscall_getppid_plain);
BENCHMARK(BM_syscall_getppid_intercepted);

}  // namespace
