// Trace items that show caller structures after an entry point's line. They read the
// caller's memory only through read_caller_memory and stop at the first unreadable
// byte, so a pointer that the C library will answer with EFAULT is never dereferenced.
#pragma once
#include <sys/socket.h>
#include <sys/uio.h>

namespace kvel {

// "%s iov[%d] %d " for each of count iovecs.
void trace_iovecs(const char* name, const iovec* iov, int count);
// The same for the iovecs of a message.
void trace_msg_iovecs(const char* name, const msghdr* msg);
// The dump of the source address whose length is at addrlen; nothing when src is null.
void trace_source_address(const sockaddr* src, const socklen_t* addrlen);
// Verbose "optlen in %d" with the value at optlen, when there is one.
void trace_optlen_in(const char* name, const socklen_t* optlen);
// "%s arg bin size=%d  ", "%02X " per option byte and a line end.
void trace_option_bytes(const char* name, const void* optval, socklen_t optlen);

}  // namespace kvel
