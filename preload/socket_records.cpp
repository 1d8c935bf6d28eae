#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "epoll_set.h"
#include "fd_lock.h"
#include "handlers.h"
#include "closed_behind.h"
#include "handshakes.h"
#include "real_calls.h"
#include "socket_records.h"
#include "trace_log.h"

namespace kvel {

namespace {

constexpr int nonblock_flag = 0x800;
constexpr int cloexec_flag = 0x80000;
constexpr int domain_inet = 2;

// IPv4 stream and datagram sockets are the card's; any other kind is the kernel's.
bool served_socket(int domain, int type) {
  const int base = type & ~(nonblock_flag | cloexec_flag);
  return domain == domain_inet && (base == SOCK_STREAM || base == SOCK_DGRAM);
}

void append_status_log(int fd, const char* reason) {
  const char* path = getenv("ZORVLOAD_STATUS_LOG");
  if (path == nullptr) return;
  FILE* f = fopen(path, "ae");
  if (f == nullptr) return;
  fprintf(f, "FD=%d fallback to kernel, reason: %s\n", fd, reason);
  fclose(f);
}

}  // namespace

void free_record(socket_record* record) {
  if (record == nullptr) return;
  if (record->kind == RECORD_EPOLL) free_epoll_set(record->epoll);
  if (record->kind == RECORD_TCP_LISTENER) drop_handshakes(record);
  if (record->kind <= RECORD_INET && record->handle != nullptr)
    zorvsock_release_handle(record->handle);
  free(record);
}

void add_holder(socket_record* record) {
  __atomic_add_fetch(&record->sharers, 1, __ATOMIC_ACQ_REL);
}

// sharers counts the holders beside one: the last holder takes it below zero.
bool drop_holder(socket_record* record) {
  return __atomic_sub_fetch(&record->sharers, 1, __ATOMIC_ACQ_REL) == ~uint32_t(0);
}

void publish_record(socket_record* record, int fd) {
  forget_closed_behind(fd);
  assign_fd_slot(record, fd);
}

// The parent's session, ring and handshakes are the parent's: the child frees only its
// copy of the record.
void free_unheld(socket_record* record) {
  if (record != nullptr && record->inherited != 0) {
    free(record);
    return;
  }
  free_record(record);
}

// Marks every socket the child inherits with its card session, before anything of the
// child can call on them.
void adopt_records_after_fork() {
  for (int fd = 0, end = fd_table_end(); fd < end; ++fd) {
    socket_record* r = lookup_socket_record(fd);
    if (r == nullptr) continue;
    if (r->kind <= RECORD_INET && r->kind != RECORD_EPOLL) r->inherited = 1;
    if (syscall(SYS_fcntl, fd, F_GETFD) >= 0) continue;
    if (claim_slot(fd)) {
      socket_record* lost = take_record_for_close(fd);
      if (lost != nullptr && drop_holder(lost)) free_unheld(lost);
    }
  }
}

socket_record* alloc_socket_record() {
  auto* record = static_cast<socket_record*>(calloc(1, sizeof(socket_record)));
  if (record == nullptr) return nullptr;
  record->ttl = ttl_not_set;
  record->multicast_ttl = ttl_not_set;
  return record;
}

socket_record* record_for_new_fd(int& fd, record_kind kind, int flags) {
  if (fd < 0 || fd >= fd_table_size) return nullptr;
  socket_record* record = alloc_socket_record();
  if (record == nullptr) {
    real_close(fd);
    errno = ENOMEM;
    fd = -1;
    return nullptr;
  }
  record->kind = kind;
  record->is_blocking = (flags & nonblock_flag) ? 0 : 1;
  return record;
}

}  // namespace kvel

using namespace kvel;

// Only the card's kinds get a record; the others are logged as the kernel's.
extern "C" int vyx_socket(int domain, int type, int protocol) {
  const bool served = served_socket(domain, type);
  if (served) trace_line("vyx_socket", "type=%d, prot=%d\n", type, protocol);
  int fd = real_socket(domain, type, protocol);
  if (!served) {
    forget_closed_behind(fd);
    vyx_log_kernel_fallback_socket(fd, "not IPv4");
    return fd;
  }
  socket_record* record = record_for_new_fd(fd, RECORD_INET, type);
  if (record == nullptr) return fd;
  record->type = uint32_t(type & ~(nonblock_flag | cloexec_flag));
  record->rx_buffer_size = default_rx_buffer_units;
  publish_record(record, fd);
  trace_line("vyx_socket", "leave %d\n", fd);
  return fd;
}

extern "C" void vyx_log_kernel_fallback_socket(int fd, const char* reason) {
  int saved = errno;
  if (reason == nullptr) reason = "reason unknown";
  append_status_log(fd, reason);
  trace_line("vyx_log_kernel_fallback_socket", "FD=%d fallback to kernel, reason: %s\n", fd,
             reason);
  errno = saved;
}
