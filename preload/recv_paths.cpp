// The receive handlers: read, recv, recvfrom, readv, recvmsg and recvmmsg on a managed
// descriptor. A hardware TCP or UDP socket is served from the card's ring; every other
// record (no session yet, a listener, the emulated descriptors) is the C library's,
// whose kernel socket then answers as it would without the interposer.
#include <cerrno>
#include <ctime>

#include "data_paths.h"
#include "emulated_records.h"
#include "handlers.h"
#include "poll_wait.h"
#include "real_calls.h"
#include "rx_timestamp.h"

namespace kvel {

namespace {

long receive_call(data_call& c, rx_request& rq) {
  return c.rec->kind == RECORD_TCP ? receive_stream(c, rq) : receive_datagram(c, rq);
}

// The flags a card socket answers as a kernel socket with nothing for them: the error
// queue is always empty (the card queues neither errors nor transmit time stamps) and a
// stream holds no urgent data; a datagram socket ignores MSG_OOB. 0: a plain receive.
long flag_answer(const socket_record* r, int flags) {
  if ((flags & MSG_ERRQUEUE) != 0) return -EAGAIN;
  if ((flags & MSG_OOB) != 0 && r->kind == RECORD_TCP) return -EINVAL;
  return 0;
}

// A receive into count entries with the caller's flags; -errno for unusable entries.
// The message's flags and receive time of a recvmsg; null for the other receives.
long receive_into(data_call& c, const iovec* iov, long count, int flags, sockaddr* src,
                  socklen_t* srclen, msghdr* msg) {
  if (const long refused = flag_answer(c.rec, flags)) return refused;
  ssize_t total = iov_total(iov, count);
  const bool unusable = total == -EFAULT && c.rec->kind == RECORD_TCP && iov != nullptr;
  if (unusable) total = 0;
  if (total < 0) return total;
  rx_request rq{iov_cursor::over(iov, count, size_t(total)), flags, src, srclen, 0,
                wait_deadline::of(c.rec->rcv_timeout_us), 0, unusable};
  const long result = receive_call(c, rq);
  if (msg != nullptr && result >= 0) {
    msg->msg_flags = rq.msg_flags;
    put_receive_time(c.rec, msg, rq.rx_time);
  }
  return result;
}

// recvmsg on a hardware socket: the source when msg_name asks for it, the receive time
// in the control message the socket's time-stamp option asks for, and msg_flags with
// MSG_TRUNC for a cut datagram (MSG_CTRUNC for a cut control message).
long receive_message(data_call& c, msghdr* msg, int flags) {
  if (msg == nullptr) return -EFAULT;
  if (msg->msg_iovlen > size_t(iov_max_entries)) return -EMSGSIZE;
  sockaddr* src = static_cast<sockaddr*>(msg->msg_name);
  return receive_into(c, msg->msg_iov, long(msg->msg_iovlen), flags, src,
                      src != nullptr ? &msg->msg_namelen : nullptr, msg);
}

struct mmsg_receive {
  int flags;
  poll_deadline deadline;
};

long receive_entry(data_call& c, mmsghdr& entry, unsigned index, void* context) {
  const auto* rm = static_cast<const mmsg_receive*>(context);
  if (index == 0) return receive_message(c, &entry.msg_hdr, rm->flags);
  if (deadline_passed(rm->deadline)) return -ETIMEDOUT;
  const int wait_once = (rm->flags & MSG_WAITFORONE) != 0 ? MSG_DONTWAIT : 0;
  return receive_message(c, &entry.msg_hdr, rm->flags | wait_once);
}

// A receive into an iovec array on a stream, told apart in the verbose lines from one
// into a single buffer.
void note_vectored(const data_call& c) {
  if (verbose_on() && c.rec->kind == RECORD_TCP) verbose_line(tcp_receive_name, "iov recv tcp\n");
}

}  // namespace

}  // namespace kvel

using namespace kvel;

extern "C" ssize_t vyx_read(int fd, void* buf, size_t count) {
  data_call c = data_call::claimed(fd);
  if (emulated_kind(c.rec)) return c.finish("vyx_read", read_emulated(c, buf, count));
  ZL_KERNEL_RECORD_TRACED(c, "vyx_read", "read", read, fd, buf, count)
  const iovec one{buf, count};
  return c.finish_fd("vyx_read", receive_into(c, &one, 1, 0, nullptr, nullptr, nullptr));
}

extern "C" ssize_t vyx_recv(int fd, void* buf, size_t len, int flags) {
  data_call c = data_call::claimed(fd);
  ZL_KERNEL_RECEIVE(c, flags, "vyx_recv", "recv", recv, fd, buf, len, flags)
  const iovec one{buf, len};
  return c.finish_fd("vyx_recv", receive_into(c, &one, 1, flags, nullptr, nullptr, nullptr));
}

extern "C" ssize_t vyx_recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* src,
                                socklen_t* addrlen) {
  data_call c = data_call::claimed(fd);
  ZL_KERNEL_RECEIVE(c, flags, "vyx_recvfrom", "recvfrom", recvfrom, fd, buf, len, flags, src,
                    addrlen)
  const iovec one{buf, len};
  return c.finish("vyx_recvfrom", receive_into(c, &one, 1, flags, src,
                                               src != nullptr ? addrlen : nullptr, nullptr));
}

extern "C" ssize_t vyx_readv(int fd, const iovec* iov, int iovcnt) {
  data_call c = data_call::claimed(fd);
  ZL_KERNEL_RECORD(c, readv, fd, iov, iovcnt)
  note_vectored(c);
  return c.finish_fd("vyx_readv", receive_into(c, iov, iovcnt, 0, nullptr, nullptr, nullptr));
}

extern "C" ssize_t vyx_recvmsg(int fd, msghdr* msg, int flags) {
  data_call c = data_call::claimed(fd);
  // The C library's recvmsg is the vectored recvfrom; its line names it so.
  ZL_KERNEL_RECEIVE(c, flags, "vyx_recvmsg", "recvfrom", recvmsg, fd, msg, flags)
  note_vectored(c);
  return c.finish_fd("vyx_recvmsg", receive_message(c, msg, flags));
}

// MSG_WAITFORONE waits for the first message only; a timeout ends the call before the
// next message once it has run out, as the kernel looks at it after each message.
extern "C" int vyx_recvmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags,
                            timespec* timeout) {
  data_call c = data_call::claimed(fd);
  ZL_KERNEL_RECORD(c, recvmmsg, fd, vec, vlen, flags, timeout)
  mmsg_receive rm{flags, {}};
  const int refused = make_deadline("vyx_recvmmsg", timeout, &rm.deadline);
  return int(c.finish_fd("vyx_recvmmsg",
                      refused != 0 ? refused : each_message(c, vec, vlen, receive_entry, &rm)));
}
