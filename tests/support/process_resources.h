// What a process holds that a released handle must give back: descriptors, named
// mappings (every mapping of a device region has the name of its memfd or node;
// anonymous ones and the heap move with ordinary allocation) and threads.
#pragma once
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

namespace zt {

inline std::set<std::string> dir_entries(const char* path) {
  std::set<std::string> names;
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d)) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

inline std::set<std::string> named_mappings() {
  std::set<std::string> lines;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);)
    if (line.find('/') != std::string::npos) lines.insert(line);
  return lines;
}

struct process_resources {
  std::set<std::string> fds = dir_entries("/proc/self/fd");
  std::set<std::string> maps = named_mappings();
  std::set<std::string> tasks = dir_entries("/proc/self/task");
};

// The directory stream of the listing itself shows up in both fd sets alike.
inline void expect_same_resources(const process_resources& before) {
  process_resources after;
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.maps, before.maps);
  EXPECT_EQ(after.tasks, before.tasks);
}

}  // namespace zt
