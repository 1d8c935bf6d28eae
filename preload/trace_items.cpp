#include "trace_items.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "trace_log.h"

namespace kvel {

namespace {

// Collects items and writes them in few, whole pieces, so that lines of other threads
// and processes do not land between the items of one call.
class item_text {
 public:
  ~item_text() { flush(); }
  [[gnu::format(printf, 2, 3)]] void add(const char* fmt, ...) {
    char item[128];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(item, sizeof item, fmt, ap);
    va_end(ap);
    if (n <= 0) return;
    if (len_ + size_t(n) >= sizeof buf_) flush();
    len_ += size_t(snprintf(buf_ + len_, sizeof buf_ - len_, "%s", item));
  }
  void flush() {
    if (len_ > 0) trace_more("%.*s", int(len_), buf_);
    len_ = 0;
  }

 private:
  char buf_[2048];
  size_t len_ = 0;
};

}  // namespace

void trace_iovecs(const char* name, const iovec* iov, int count) {
  item_text out;
  for (int i = 0; i < count && trace_gate(trace_file); ++i) {
    iovec item{};
    if (!read_caller_memory(&item, iov + i, sizeof item)) return;
    out.add("%s iov[%d] %d ", name, i, int(item.iov_len));
  }
}

void trace_msg_iovecs(const char* name, const msghdr* msg) {
  msghdr copy{};
  if (!trace_gate(trace_file) || !read_caller_memory(&copy, msg, sizeof copy)) return;
  trace_iovecs(name, copy.msg_iov, int(copy.msg_iovlen));
}

void trace_source_address(const sockaddr* src, const socklen_t* addrlen) {
  socklen_t len = 0;
  if (src == nullptr || !trace_gate(trace_file) ||
      !read_caller_memory(&len, addrlen, sizeof len))
    return;
  int written = trace_sockaddr(trace_file, src, int(len));
  trace_bytes.fetch_add(written, std::memory_order_relaxed);
}

void trace_optlen_in(const char* name, const socklen_t* optlen) {
  socklen_t len = 0;
  if (optlen == nullptr || !trace_gate(verbose_file) ||
      !read_caller_memory(&len, optlen, sizeof len))
    return;
  verbose_line(name, "optlen in %d\n", int(len));
}

void trace_option_bytes(const char* name, const void* optval, socklen_t optlen) {
  if (!trace_gate(trace_file)) return;
  item_text out;
  out.add("%s arg bin size=%d  ", name, int(optlen));
  const auto* bytes = static_cast<const uint8_t*>(optval);
  uint8_t chunk[256];
  for (socklen_t done = 0; done < optlen && trace_gate(trace_file);) {
    socklen_t n = optlen - done < sizeof chunk ? optlen - done : socklen_t(sizeof chunk);
    if (!read_caller_memory(chunk, bytes + done, n)) break;
    for (socklen_t i = 0; i < n; ++i) out.add("%02X ", chunk[i]);
    done += n;
  }
  out.add("\n");
}

}  // namespace kvel
