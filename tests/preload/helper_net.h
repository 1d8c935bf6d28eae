// What the helper programs of the preload tests share: IPv4 addresses from text and the
// errno names they print, so that a case's output never holds a number or a text that
// changes from run to run or from one C library to another.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

inline sockaddr_in inet(const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

inline sockaddr* sa(sockaddr_in* a) { return reinterpret_cast<sockaddr*>(a); }

inline const char* errno_name(int e) {
  switch (e) {
    case EAGAIN: return "EAGAIN";
    case EALREADY: return "EALREADY";
    case EADDRINUSE: return "EADDRINUSE";
    case EBADF: return "EBADF";
    case EBADFD: return "EBADFD";
    case ECONNREFUSED: return "ECONNREFUSED";
    case EFAULT: return "EFAULT";
    case EINPROGRESS: return "EINPROGRESS";
    case EINVAL: return "EINVAL";
    case EISCONN: return "EISCONN";
    case EMFILE: return "EMFILE";
    case ENOTCONN: return "ENOTCONN";
    case EOPNOTSUPP: return "EOPNOTSUPP";
    case EPIPE: return "EPIPE";
    default: return strerror(e);
  }
}
