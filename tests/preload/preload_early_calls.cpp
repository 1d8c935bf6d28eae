// A library whose constructor makes sockets, from several threads at once, before the
// preload library's own constructors have run (it is loaded after it). The main program
// closes them later: a socket record made that early must still be there.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

[[gnu::constructor]] void make_early_sockets() {
  constexpr int count = 4;
  int fds[count];
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i)
    threads.emplace_back([&fds, i] { fds[i] = socket(AF_INET, SOCK_DGRAM, 0); });
  for (auto& t : threads) t.join();
  std::string list;
  for (int fd : fds) list += std::to_string(fd) + " ";
  setenv("ZL_EARLY_FDS", list.c_str(), 1);
}

}  // namespace
