// zorv_dump's command line.
#pragma once

namespace zdump {

constexpr int MAX_INTERFACES = 8;

struct dump_options {
  const char* device = nullptr;
  const char* output = nullptr;
  bool clear = false;
  const char* ifnames[MAX_INTERFACES] = {};
  int ifcount = 0;
  int format = 0;  // capture_format
  bool silent = false;
  bool unbuffered = false;
};

// 0, or the exit status after a message (and the usage where it helps).
int parse_options(int argc, char** argv, dump_options* o);

}  // namespace zdump
