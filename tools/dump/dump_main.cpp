// zorv_dump: copies the traffic that the card has recorded in the capture memory of
// one or more ports into a pcapng or pcap file, until SIGINT.
//
// Four threads: the main thread reads the capture rings by DMA (capture_reader.h), the
// packet thread cuts records and writes blocks into the output slots (record_extract.h,
// capture_writer.h), the file thread writes full slots to the file (output_file.h), and
// an optional progress thread shows the count. At the stop every thread finishes what
// the one before it handed over, so nothing taken from the card is lost; an error on
// any thread stops the others the same way and the status is 1.
#include <signal.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "capture_reader.h"
#include "capture_writer.h"
#include "dump_iface.h"
#include "dump_options.h"
#include "kvel_dev.h"
#include "output_file.h"
#include "record_extract.h"
#include "zorvsock.h"

namespace zdump {
namespace {

constexpr int64_t FINAL_DRAIN_NS = 2000000000;  // reading after the stop, at most
constexpr int PROGRESS_MS = 100;

struct iface {
  const char* name = nullptr;
  int port = -1;
  dump_device* dev = nullptr;
  packet_context* ctx = nullptr;
};

// The phases of a run, each flag written by one thread and read by the others.
struct dump_run {
  std::atomic<int> stop{0};    // SIGINT handler or any thread's error: loops end
  std::atomic<int> failed{0};  // any thread's error: the exit status is 1
  std::atomic<int> sigints{0}; // SIGINT handler
  std::atomic<bool> reader_done{false};   // main: no more DMA; the packet thread drains
  std::atomic<bool> packets_done{false};  // main, once the packet thread has ended
  std::atomic<bool> file_gone{false};     // file thread, when it ends
  std::atomic<uint64_t> packets{0};       // packet thread adds, progress thread reads
  dump_options opt;
  iface ifs[MAX_INTERFACES];
  output_file* file = nullptr;
  capture_writer* writer = nullptr;
};

dump_run g_run;

void fail() {
  g_run.failed = 1;
  g_run.stop = 1;
}

void on_sigint(int) {
  g_run.stop = 1;
  if (g_run.sigints.fetch_add(1) >= 1) _exit(1);
}

int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One pass of the reader over the interfaces: 1 when a channel was filled, 0 when
// none was, -1 after an error.
int read_pass() {
  int progress = 0;
  for (int i = 0; i < g_run.opt.ifcount; ++i) {
    int r = dump_do_dma(g_run.ifs[i].dev);
    if (r < 0) {
      fputs("Error dump_do_dma\n", stderr);
      fail();
      return -1;
    }
    progress |= r;
  }
  return progress;
}

bool all_channels_empty() {
  for (int i = 0; i < g_run.opt.ifcount; ++i)
    if (!channels_empty(g_run.ifs[i].ctx)) return false;
  return true;
}

// What the card recorded up to the stop is still read, while the packet thread empties
// the channels; under endless traffic for a bounded time.
void final_drain() {
  backoff b;
  int64_t deadline = now_ns() + FINAL_DRAIN_NS;
  while (now_ns() < deadline) {
    int r = read_pass();
    if (r < 0) return;
    if (r > 0) {
      backoff_reset(&b);
    } else if (all_channels_empty()) {
      if (read_pass() == 0) return;  // nothing arrived since the channels were emptied
    } else {
      backoff_step(&b);
    }
  }
}

void reader_loop() {
  backoff b;
  while (!g_run.stop.load()) {
    int r = read_pass();
    if (r < 0) break;
    if (r > 0)
      backoff_reset(&b);
    else
      backoff_step(&b);
  }
  if (!g_run.failed.load()) final_drain();
  g_run.reader_done = true;
}

// Hands a partly filled slot over at once (-U), unless the file thread has gone.
void flush_now(capture_writer* w) {
  while (writer_flush(w) < 0 && !g_run.file_gone.load()) sched_yield();
}

void packet_thread() {
  backoff b;
  for (;;) {
    bool reader_done = g_run.reader_done.load();
    int total = 0;
    for (int i = 0; i < g_run.opt.ifcount; ++i) {
      int r = run_pkt(g_run.ifs[i].ctx, g_run.writer, uint32_t(i));
      if (r < 0) {
        fputs("Error run_pkt\n", stderr);
        return fail();
      }
      if (r > 0 && g_run.opt.unbuffered) flush_now(g_run.writer);
      total += r;
    }
    g_run.packets.fetch_add(uint64_t(total));
    if (total > 0) {
      backoff_reset(&b);
    } else if (reader_done && all_channels_empty()) {
      return;
    } else {
      backoff_step(&b);
    }
  }
}

void file_thread() {
  backoff b;
  for (;;) {
    bool last = g_run.packets_done.load();
    int64_t r = run_wr_file(g_run.file);
    if (r < 0) {
      fputs("Error run_wr_file\n", stderr);
      fail();
      break;
    }
    if (r > 0) {
      backoff_reset(&b);
    } else if (last) {
      break;
    } else {
      backoff_step(&b);
    }
  }
  g_run.file_gone = true;
}

void progress_thread() {
  static const char SPIN[] = "/-\\|";
  for (int i = 0; !g_run.stop.load(); i = (i + 1) % 4) {
    printf("\r%c| packets dumped: %16llu ", SPIN[i], (unsigned long long)g_run.packets.load());
    fflush(stdout);
    usleep(PROGRESS_MS * 1000);
  }
  putchar('\n');
}

// The node must open before its ports are asked for: a missing node is not a missing
// port.
bool device_opens(const char* path) {
  const int fd = open_driver(path);
  if (fd < 0) return false;
  kvel::kvel_dev_close(fd);
  return true;
}

int open_interfaces() {
  dump_options& o = g_run.opt;
  if (!device_opens(o.device)) return 1;
  for (int i = 0; i < o.ifcount; ++i) {
    g_run.ifs[i].name = o.ifnames[i];
    g_run.ifs[i].port = iface_port(o.device, o.ifnames[i]);
    if (g_run.ifs[i].port < 0) {
      fprintf(stderr, "Cannot map interface %s to a zorvnic interface\n", o.ifnames[i]);
      return 1;
    }
  }
  for (int i = 0; i < o.ifcount; ++i) {
    g_run.ifs[i].dev = open_dump_device(o.device, g_run.ifs[i].port);
    if (!g_run.ifs[i].dev) {
      fprintf(stderr, "Cannot open driver for interface %s: %s\n", o.ifnames[i], strerror(errno));
      return 1;
    }
  }
  for (int i = 0; o.clear && i < o.ifcount; ++i) {
    if (clear_capture_memory(g_run.ifs[i].dev) != 0) {
      fprintf(stderr, "Cannot clear memory for zorvnic interface %d\n", i);
      return 1;
    }
  }
  return 0;
}

// Everything that can refuse the run, before the output file is truncated.
int prepare_reading() {
  for (int i = 0; i < g_run.opt.ifcount; ++i) {
    iface& f = g_run.ifs[i];
    if (dump_start(f.dev) != 0) return 1;
    f.ctx = create_packet_context(f.dev, f.name);
    if (!f.ctx) return 1;
    uint64_t tx = 0, rx = 0;
    if (zorvsock_get_pmapcsmac_delays(f.name, &tx, &rx) < 0) {
      fputs("Error getting pma pcsmac delays\n", stderr);
      return 1;
    }
    set_delays(f.ctx, int64_t(tx), -int64_t(rx));
  }
  return 0;
}

int open_output() {
  dump_options& o = g_run.opt;
  g_run.file = open_output_file(o.output, o.unbuffered);
  if (!g_run.file) return 1;
  g_run.writer = create_writer(o.ifnames, o.ifcount, capture_format(o.format),
                               g_run.file->slots, &g_run.file_gone);
  if (!g_run.writer) {
    fputs("Error creating writer\n", stderr);
    return 1;
  }
  return 0;
}

void install_sigint() {
  struct sigaction sa {};
  sa.sa_handler = on_sigint;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
}

// Joins the threads in the order of the hand-overs, gives the card the final read
// positions and writes out what the slots still hold.
void stop_sequence(std::thread& progress, std::thread& packets, std::thread& file) {
  if (progress.joinable()) progress.join();
  packets.join();
  g_run.packets_done = true;
  file.join();
  puts("Exiting");
  fflush(stdout);
  for (int i = 0; i < g_run.opt.ifcount; ++i) {
    dump_hand_back(g_run.ifs[i].dev);
    if (report_skipped(g_run.ifs[i].ctx, g_run.ifs[i].name)) g_run.failed = 1;
  }
  close_writer(g_run.writer);
  if (close_output_file(g_run.file) < 0) g_run.failed = 1;
  for (int i = 0; i < g_run.opt.ifcount; ++i) {
    free_packet_context(g_run.ifs[i].ctx);
    close_dump_device(g_run.ifs[i].dev);
  }
}

int run_dump() {
  dump_options& o = g_run.opt;
  if (int rc = open_interfaces()) return rc;
  if (!o.output) return 0;
  bool show_progress = !o.silent && strcmp(o.output, "-") != 0;
  if (int rc = prepare_reading()) return rc;
  if (int rc = open_output()) return rc;
  install_sigint();
  std::thread progress;
  if (show_progress) {
    puts("Starting dump loop: ");
    usleep(1000);
    progress = std::thread(progress_thread);
  }
  std::thread packets(packet_thread), file(file_thread);
  reader_loop();
  stop_sequence(progress, packets, file);
  return g_run.failed.load() ? 1 : 0;
}

}  // namespace
}  // namespace zdump

int main(int argc, char** argv) {
  if (int rc = zdump::parse_options(argc, argv, &zdump::g_run.opt)) return rc;
  return zdump::run_dump();
}
