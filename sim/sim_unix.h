// Unix sockets at paths: the device nodes and the control socket.
#pragma once
#include <string>

namespace zsim {

// A descriptor connected to path (close-on-exec), or -1 with errno.
int unix_connect(const std::string& path, int type);
// A non-blocking listening socket bound at path, open to every user. A socket file
// that nobody listens on any more is replaced; a live one or any other file is an
// error (-1 with *error).
int unix_listen(const std::string& path, int type, std::string* error);

// Stream helpers of the control socket. Both give up after timeout_s seconds without
// progress.
bool unix_send_all(int fd, const std::string& text, int timeout_s);
// Reads until the peer stops sending; false on error or beyond max bytes.
bool unix_recv_all(int fd, std::string* text, size_t max, int timeout_s);

}  // namespace zsim
