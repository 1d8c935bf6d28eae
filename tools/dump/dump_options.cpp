#include "dump_options.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "capture_writer.h"

namespace zdump {
namespace {

int usage(const char* prog) {
  fprintf(stderr,
          "zorv_dump\nUsage: %s -d <device>\n\n"
          "-w OUTPUT_FILE                 -- Create the pcap(ng) file\n"
          "-r                             -- Clear the memory\n"
          "-i INTERFACE [-i INTERFACE]    -- Interface to dump, -i can be given multiple time\n"
          "[-F pcapng|pcap]               -- Format pcapng(default) or pcap\n"
          "[-s]                           -- Silent, do not log\n"
          "[-U]                           -- Unbuffer\n",
          prog);
  return 1;
}

int missing(const char* what, const char* prog) {
  fputs(what, stderr);
  return usage(prog);
}

}  // namespace

int parse_options(int argc, char** argv, dump_options* o) {
  const char* format = "pcapng";
  int c;
  while ((c = getopt(argc, argv, "d:w:ri:F:sUh")) != -1) {
    switch (c) {
      case 'd': o->device = optarg; break;
      case 'w': o->output = optarg; break;
      case 'r': o->clear = true; break;
      case 'i':
        if (o->ifcount == MAX_INTERFACES) {
          fputs("Too many arguments\n", stderr);
          return 1;
        }
        o->ifnames[o->ifcount++] = optarg;
        break;
      case 'F': format = optarg; break;
      case 's': o->silent = true; break;
      case 'U': o->unbuffered = true; break;
      default: return usage(argv[0]);
    }
  }
  if (optind < argc) return missing("Unknown argument\n", argv[0]);
  if (!o->device) return missing("Require device filename, example /dev/zorvnic_XXX\n", argv[0]);
  if (!o->output && !o->clear) return missing("Require output file\n", argv[0]);
  if (o->ifcount == 0) return missing("No interface provided\n", argv[0]);
  if (strcmp(format, "pcapng") == 0) {
    o->format = FORMAT_PCAPNG;
  } else if (strcmp(format, "pcap") == 0) {
    o->format = FORMAT_PCAP;
  } else {
    fprintf(stderr, "Unknown format %s\n", format);
    return 1;
  }
  return 0;
}

}  // namespace zdump
