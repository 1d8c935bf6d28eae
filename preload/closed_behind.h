// Records of descriptors that calls other than close end: close_range, closefrom, fclose
// of a stream made on a socket, and dup2 or dup3 onto a socket. Each runs before the C
// library's call, so that a later file given the same number never reaches a handler.
#pragma once
#include <cstdio>

namespace kvel {

void forget_closed_range(unsigned int first, unsigned int last, int flags);
void forget_closed_from(int lowfd);
void forget_stream(FILE* stream);
// The source of a duplicate, when an emulated eventfd or timerfd, becomes the kernel's.
void prepare_duplicate(int fd, int fd2);

}  // namespace kvel
