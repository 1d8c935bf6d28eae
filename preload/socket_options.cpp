// setsockopt on a managed socket: the kernel twin takes every option and answers for it,
// as it keeps the socket's options should the socket fall back; the card's session
// follows the ones it uses: UDP_SEGMENT cuts the datagrams of a send.
#include <netinet/udp.h>
#include <sys/socket.h>

#include "fd_lock.h"
#include "handlers.h"
#include "real_calls.h"
#include "trace_log.h"

using namespace kvel;

extern "C" int vyx_setsockopt(int fd, int level, int optname, const void* optval,
                              socklen_t optlen) {
  const int result = call_real(real_setsockopt, fd, level, optname, optval, optlen);
  int value = 0;
  if (result == 0 && level == SOL_UDP && optname == UDP_SEGMENT && optlen >= sizeof value &&
      read_caller_memory(&value, optval, sizeof value))
    lookup_socket_record(fd)->udp_segment = uint32_t(value);
  release_slot(fd);
  return result;
}
