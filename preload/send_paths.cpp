// The send handlers: write, send, sendto, sendmsg, writev and sendmmsg on a managed
// descriptor. A hardware TCP or UDP socket sends through the card; every other record is
// the C library's, whose kernel socket then answers as it would without the interposer.
#include <cerrno>
#include <netinet/in.h>

#include "data_paths.h"
#include "emulated_records.h"
#include "handlers.h"
#include "real_calls.h"
#include "udp_destination.h"

namespace kvel {

namespace {

long send_call(data_call& c, tx_request& rq) {
  return c.rec->kind == RECORD_TCP ? send_stream(c, rq) : send_datagram(c, rq);
}

// A datagram goes to dest when one is given; a stream ignores it.
long send_from(data_call& c, const iovec* iov, long count, int flags,
               const sockaddr* dest = nullptr, socklen_t destlen = 0) {
  const ssize_t total = iov_total(iov, count);
  if (total < 0) return total;
  tx_request rq{iov_cursor::over(iov, count, size_t(total)), flags, dest, destlen,
                wait_deadline::of(c.rec->snd_timeout_us)};
  return send_call(c, rq);
}

long send_message(data_call& c, const msghdr* msg, int flags) {
  if (msg == nullptr) return -EFAULT;
  if (msg->msg_iovlen > size_t(iov_max_entries)) return -EMSGSIZE;
  return send_from(c, msg->msg_iov, long(msg->msg_iovlen), flags,
                   static_cast<const sockaddr*>(msg->msg_name), msg->msg_namelen);
}

// Where a datagram goes, for its verbose line: the given destination, or the connected
// one when none is given (or it cannot be read).
struct destination {
  uint32_t ip;  // host order
  int port;
};

destination destination_of(const socket_record* r, const void* dest, socklen_t len) {
  sockaddr_in to{};
  if (dest == nullptr || len < sizeof to || !read_caller_memory(&to, dest, sizeof to))
    return {r->remote_ip, r->remote_port};
  return {ntohl(to.sin_addr.s_addr), ntohs(to.sin_port)};
}

long send_entry(data_call& c, mmsghdr& entry, unsigned, void* flags) {
  return send_message(c, &entry.msg_hdr, *static_cast<int*>(flags));
}

}  // namespace

}  // namespace kvel

using namespace kvel;

extern "C" ssize_t vyx_write(int fd, const void* buf, size_t count) {
  data_call c = data_call::claimed(fd);
  if (emulated_kind(c.rec)) return c.finish("vyx_write", write_emulated(c, buf, count));
  ZL_KERNEL_RECORD_TRACED(c, "vyx_write", "write", write, fd, buf, count)
  const iovec one{const_cast<void*>(buf), count};
  return c.finish("vyx_write", send_from(c, &one, 1, 0));
}

extern "C" ssize_t vyx_send(int fd, const void* buf, size_t len, int flags) {
  data_call c = data_call::claimed(fd);
  ZL_KERNEL_RECORD_TRACED(c, "vyx_send", "send", send, fd, buf, len, flags)
  const iovec one{const_cast<void*>(buf), len};
  return c.finish("vyx_send", send_from(c, &one, 1, flags));
}

extern "C" ssize_t vyx_sendto(int fd, const void* buf, size_t len, int flags,
                              const sockaddr* addr, socklen_t addrlen) {
  data_call c = data_call::claimed(fd);
  if (first_datagram(c, addr) && !open_session_for(c, "vyx_sendto", addr, addrlen)) {
    trace_kernel_call("vyx_sendto", "sendto");
    return real_sendto(fd, buf, len, flags, addr, addrlen);
  }
  ZL_KERNEL_RECORD_TRACED(c, "vyx_sendto", "sendto", sendto, fd, buf, len, flags, addr, addrlen)
  if (verbose_on() && c.rec->kind == RECORD_UDP) {
    const destination to = destination_of(c.rec, addr, addrlen);
    verbose_line("vyx_sendto", "udp sendto to %X, port=%d\n", to.ip, to.port);
  }
  const iovec one{const_cast<void*>(buf), len};
  return c.finish("vyx_sendto", send_from(c, &one, 1, flags, addr, addrlen));
}

extern "C" ssize_t vyx_sendmsg(int fd, const msghdr* msg, int flags) {
  data_call c = data_call::claimed(fd);
  const void* dest = msg != nullptr ? msg->msg_name : nullptr;
  if (first_datagram(c, dest) &&
      !open_session_for(c, "vyx_sendmsg", static_cast<const sockaddr*>(dest), msg->msg_namelen)) {
    trace_kernel_call("vyx_sendmsg", "sendmsg");
    return real_sendmsg(fd, msg, flags);
  }
  ZL_KERNEL_RECORD_TRACED(c, "vyx_sendmsg", "sendmsg", sendmsg, fd, msg, flags)
  if (verbose_on() && c.rec->kind == RECORD_UDP && msg != nullptr) {
    const destination to = destination_of(c.rec, msg->msg_name, msg->msg_namelen);
    verbose_line("vyx_sendmsg", "udp sendmsg to %X, port=%d\n", to.ip, to.port);
  }
  return c.finish("vyx_sendmsg", send_message(c, msg, flags));
}

extern "C" ssize_t vyx_writev(int fd, const iovec* iov, int iovcnt) {
  data_call c = data_call::claimed(fd);
  ZL_KERNEL_RECORD(c, writev, fd, iov, iovcnt)
  return c.finish("vyx_writev", send_from(c, iov, iovcnt, 0));
}

extern "C" int vyx_sendmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags) {
  data_call c = data_call::claimed(fd);
  ZL_KERNEL_RECORD(c, sendmmsg, fd, vec, vlen, flags)
  return int(c.finish_fd("vyx_sendmmsg", each_message(c, vec, vlen, send_entry, &flags)));
}
