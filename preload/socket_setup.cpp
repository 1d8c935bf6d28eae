#include "socket_setup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "epoll_set.h"
#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"
#include "socket_records.h"
#include "trace_log.h"

namespace kvel {

namespace {

void set_ttl_option(zorvsock_handle* h, int id, uint16_t value, const char* what) {
  if (value == ttl_not_set) return;
  const uint8_t byte = uint8_t(value);
  int rc = zorvsock_set_opt(h, id, &byte, 1);
  if (rc < 0) trace_line("vyx_zorvsock_init_handle", "Error(ignored) setting %s: %d\n", what, rc);
}

// The ring size a socket asked for before it went on the card, taken to the nearest the
// card allows, as the kernel clamps its buffer sizes.
void clamp_receive_ring(socket_record* r) {
  uint32_t units = r->rx_buffer_size;
  if (units < min_rx_buffer_units) units = min_rx_buffer_units;
  if (units > max_rx_buffer_units) units = max_rx_buffer_units;
  if (units == r->rx_buffer_size) return;
  trace_line("vyx_zorvsock_init_handle", "SO_RCVBUF %u outside the card's range, using %u\n",
             r->rx_buffer_size * 2048, units * 2048);
  r->rx_buffer_size = units;
}

}  // namespace

zorvsock_handle* init_handle(const socket_record* record) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  if (h == nullptr) return nullptr;
  set_ttl_option(h, ZORVSOCK_OPT_TTL, record->ttl, "TTL");
  set_ttl_option(h, ZORVSOCK_OPT_MULTICAST_TTL, record->multicast_ttl, "multicast TTL");
  return h;
}

bool ensure_handle(socket_record* record) {
  if (record->handle != nullptr) return true;
  record->handle = init_handle(record);
  if (record->handle == nullptr) return false;
  clamp_receive_ring(record);
  int rc = zorvsock_set_opt(record->handle, ZORVSOCK_OPT_RX_BUFFER, &record->rx_buffer_size, 4);
  if (rc != 0) verbose_line("vyx_zorvsock_init_handle", "Failed to set UDP RX buffer size %s\n",
                            strerror(-rc));
  return true;
}

int configure_udp_session(socket_record* r) {
  if (r->multicast_group == 0)
    return zorvsock_udp_configure(r->handle, r->ifname, r->local_port, r->remote_ip,
                                  r->remote_port);
  zorvsock_disable_multicast(r->handle);
  return zorvsock_udp_configure_multicast(r->handle, r->ifname, r->local_port, r->remote_ip,
                                          r->remote_port, r->multicast_group);
}

uint16_t bind_kernel_twin(int fd, socket_record* r, uint32_t addr, uint16_t port) {
  sockaddr_in a = make_inet_address(addr, port);
  int rc = real_bind(fd, reinterpret_cast<const sockaddr*>(&a), socklen_t(sizeof a));
  verbose_line("get_local_port", "binding to IP %08X ret=%d\n", addr, rc);
  if (rc != 0) return 0;
  socklen_t len = sizeof a;
  if (real_getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  trace_line("get_local_port", "Using local port %d\n", ntohs(a.sin_port));
  r->twin_ip = addr;
  r->twin_port = ntohs(a.sin_port);
  return r->twin_port;
}

int leave_handler(const char* name, int fd, int err) {
  release_slot(fd);
  if (err != 0) errno = err;
  trace_return(name, err != 0 ? -1 : 0);
  return err != 0 ? -1 : 0;
}

namespace {

// Empties fd's slot when it still holds r; true when it did.
bool drop_number(int fd, const socket_record* r) {
  const uint32_t generation = slot_generation(fd);
  if (take_record_for_close(fd) != r) return false;
  hand_members_to_kernel(fd, generation);
  return true;
}

// The socket becomes the kernel's under every number: the duplicates' slots are emptied
// too, each dropping its hold.
void drop_duplicates(socket_record* r) {
  for (int fd = 0, end = fd_table_end(); fd < end; ++fd) {
    if (lookup_socket_record(fd) != r || !claim_slot(fd)) continue;
    if (lookup_socket_record(fd) != r) {
      release_slot(fd);
    } else if (drop_number(fd, r)) {
      drop_holder(r);
    }
  }
}

}  // namespace

void drop_record(int fd) {
  socket_record* r = lookup_socket_record(fd);
  if (!drop_number(fd, r) || r == nullptr) return;
  if (__atomic_load_n(&r->sharers, __ATOMIC_ACQUIRE) != 0) drop_duplicates(r);
  if (drop_holder(r)) free_record(r);
}

void fall_back(const char* name, int fd, const char* reason) {
  drop_record(fd);
  vyx_log_kernel_fallback_socket(fd, reason);
  trace_kernel_call(name, name + 4);
}

sockaddr_in make_inet_address(uint32_t addr, uint16_t port) {
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(addr);
  return a;
}

int copy_name_out(const sockaddr_in& name, sockaddr* addr, socklen_t* addrlen) {
  socklen_t room = 0;
  if (addrlen == nullptr || !read_caller_memory(&room, addrlen, sizeof room)) return EFAULT;
  if (int(room) < 0) return EINVAL;
  size_t n = room < sizeof name ? room : sizeof name;
  if (n > 0 && addr == nullptr) return EFAULT;
  if (n > 0) memcpy(addr, &name, n);
  *addrlen = sizeof name;
  return 0;
}

uint32_t default_bind_address() {
  const char* text = getenv("ZORVLOAD_BIND_INTERFACE");
  in_addr a{};
  if (text == nullptr || inet_pton(AF_INET, text, &a) != 1) return 0;
  return ntohl(a.s_addr);
}

}  // namespace kvel
