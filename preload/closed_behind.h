// Records of descriptors that calls other than close end: close_range, closefrom and
// fclose of a stream made on a socket. Each runs before the C library's call, so that a
// later file given the same number never reaches a handler.
#pragma once
#include <cstdio>

namespace kvel {

void forget_closed_range(unsigned int first, unsigned int last, int flags);
void forget_closed_from(int lowfd);
void forget_stream(FILE* stream);
// A descriptor the kernel has just handed out: a record still in its slot was closed
// behind the interposer's back and is forgotten.
void forget_closed_behind(int fd);

}  // namespace kvel
