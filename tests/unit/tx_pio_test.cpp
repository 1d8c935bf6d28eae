// The TX write state on stand-in pages: the bytes of every line for each write routine,
// the page-end rule, credits and feedback polling, window wrap, set-up and the choice
// of routine. MOVDIR64B is missing on these machines: its routine is checked through
// the line logic it shares (tx_write_lines) with a plain copy as the line store, and
// executed only where it returns before storing anything.
#include <gtest/gtest.h>
#include <linux/hw_breakpoint.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "session_fixture.h"
#include "tx_lines.h"
#include "tx_pio.h"

using kvel::tx_pio;

namespace {

constexpr uint8_t POISON = 0xA5;  // window bytes that no send has written
constexpr int WINDOW = 16384;
using routine_ptr = int (tx_pio::*)(const void*, int, const void*, int);

// A TX window, feedback page and register page with a tx_pio on them, as after set-up.
// The card writes the feedback word through a mapping of its own, so that counting the
// library's accesses to its mapping counts its reads alone.
struct tx_window {
  zt::fake_session session;
  zt::mapped_region window{WINDOW};
  zt::memfd_device feedback{4096};
  uint8_t* library_view = feedback.map(4096, 0);
  volatile uint32_t* card_view = reinterpret_cast<volatile uint32_t*>(feedback.map(4096, 0));
  tx_pio tx;

  tx_window() {
    tx.owner_ = session.ref();
    tx.tx_pio_mem_ = window.p;
    tx.fdb_ = reinterpret_cast<volatile uint32_t*>(library_view);
    tx.init_tx_state();
    poison();
  }
  ~tx_window() {
    munmap(library_view, 4096);
    munmap(const_cast<uint32_t*>(card_view), 4096);
  }
  void poison() { memset(window.p, POISON, WINDOW); }
  void poison_line(int offset) { memset(window.p + (offset & (WINDOW - 1)), POISON, 64); }
  void set_feedback(int round, int rdptr) { *card_view = uint32_t(round) << 16 | uint32_t(rdptr); }
  // The card has read everything written so far.
  void card_catch_up() { set_feedback(tx.tx_offset_ >> 12, (tx.tx_offset_ & 0xfff) / 64); }
  // An empty ring with the writer at `offset`.
  void start_at(int offset) {
    tx.tx_offset_ = offset;
    tx.tx_available_256bit_ = kvel::TX_RING_CREDITS;
    card_catch_up();
  }
  uint8_t at(int offset) const { return window.p[offset & (WINDOW - 1)]; }
  bool line_untouched(int offset) const {
    for (int i = 0; i < 64; ++i)
      if (at(offset + i) != POISON) return false;
    return true;
  }
};

void copy_line(void* line, const void* src) { memcpy(line, src, 64); }
void copy_first_line(void* line, const void* desc, const void* payload32) {
  memcpy(line, desc, 32);
  memcpy(static_cast<uint8_t*>(line) + 32, payload32, 32);
}

// How a test drives one write routine.
struct routine {
  const char* name;
  const char* cpu_feature;  // what the processor needs to run it, or null
  int (*write)(tx_pio&, const void*, int, const void*, int);
};

int write_with(tx_pio& tx, routine_ptr r, const void* data, int len, const void* desc, int polls) {
  tx.tx_write_ = r;
  return tx.write(data, len, desc, polls);
}

const routine routines[] = {
    {"avx2", "avx2",
     [](tx_pio& tx, const void* d, int l, const void* desc, int p) {
       return write_with(tx, &tx_pio::write_avx2, d, l, desc, p);
     }},
    {"avx512", "avx512f",
     [](tx_pio& tx, const void* d, int l, const void* desc, int p) {
       return write_with(tx, &tx_pio::write_avx512, d, l, desc, p);
     }},
    {"movdir64b_lines", nullptr,
     [](tx_pio& tx, const void* d, int l, const void* desc, int p) {
       return kvel::tx_write_lines(tx, d, l, desc, p, copy_first_line, copy_line);
     }},
};

bool cpu_has(const char* feature) {
  if (!feature) return true;
  return std::string(feature) == "avx2" ? __builtin_cpu_supports("avx2")
                                         : __builtin_cpu_supports("avx512f");
}

struct descriptor {
  uint8_t b[32];
  explicit descriptor(uint8_t seed = 0) {
    for (int i = 0; i < 32; ++i) b[i] = uint8_t(0xD0 + i + seed);
  }
};

// Random payload bytes in mapped memory: in-place reads past the payload are allowed
// to run to the end of a line, which a heap buffer would not tolerate under ASan.
struct payload_area {
  zt::mapped_region mem{3 * 4096};
  payload_area() {
    std::mt19937 rng(7);
    for (size_t i = 0; i < mem.len; ++i) mem.p[i] = uint8_t(rng());
  }
};

// Counts this thread's accesses to one 32-bit word with a hardware breakpoint.
struct access_counter {
  int fd = -1;
  explicit access_counter(const volatile void* addr) {
    perf_event_attr a{};
    a.type = PERF_TYPE_BREAKPOINT;
    a.size = sizeof a;
    a.bp_type = HW_BREAKPOINT_RW;
    a.bp_addr = reinterpret_cast<uintptr_t>(addr);
    a.bp_len = HW_BREAKPOINT_LEN_4;
    a.exclude_kernel = 1;
    a.exclude_hv = 1;
    fd = int(syscall(SYS_perf_event_open, &a, 0, -1, -1, 0));
    if (fd < 0) return;
    // Some virtual machines accept the breakpoint but never count: one read tells.
    (void)*static_cast<const volatile uint32_t*>(addr);
    if (count() != 1) {
      close(fd);
      fd = -1;
      return;
    }
    ioctl(fd, PERF_EVENT_IOC_RESET, 0);
  }
  ~access_counter() {
    if (fd >= 0) close(fd);
  }
  bool works() const { return fd >= 0; }
  long long count() const {
    long long n = -1;
    return read(fd, &n, sizeof n) == sizeof n ? n : -1;
  }
};

// Every significant byte of the send that starts at window offset `start`, and the
// line after it untouched.
void expect_send(const tx_window& w, int start, const descriptor& desc, const uint8_t* data,
                 int len) {
  for (int i = 0; i < 32 + len; ++i) {
    const uint8_t want = i < 32 ? desc.b[i] : data[i - 32];
    if (w.at(start + i) != want) {
      ADD_FAILURE() << "len " << len << " start " << start << ": byte " << i << " is "
                    << int(w.at(start + i)) << ", want " << int(want);
      return;
    }
  }
  const int lines = kvel::tx_send_credits(len) / 2;
  EXPECT_TRUE(w.line_untouched(start + lines * 64)) << "len " << len << ": a line too many";
}

struct RoutineTest : ::testing::TestWithParam<routine> {
  void SetUp() override {
    if (!cpu_has(GetParam().cpu_feature)) GTEST_SKIP() << "processor lacks " << GetParam().name;
  }
  int send(tx_window& w, const void* data, int len, const descriptor& d, int polls = 10) {
    return GetParam().write(w.tx, data, len, d.b, polls);
  }
};

TEST(TxCredits, TwiceTheLinesOfASend) {
  struct row { int len, credits; };
  const row rows[] = {{0, 2},    {1, 2},    {31, 2},    {32, 2},    {33, 4},
                      {96, 4},   {97, 6},   {160, 6},   {161, 8},   {1460, 48},
                      {1472, 48}, {4064, 128}};
  for (const row& r : rows) EXPECT_EQ(kvel::tx_send_credits(r.len), r.credits) << r.len;
}

TEST_P(RoutineTest, LinesHoldDescriptorThenPayload) {
  tx_window w;
  payload_area payload;
  const int lens[] = {0, 1, 31, 32, 33, 63, 64, 95, 96, 97, 159, 160, 161, 1460, 1472, 4064};
  const int starts[] = {0, 7 * 64, 4096 - 64, WINDOW - 128};  // last: the send wraps
  for (int misalign : {0, 5})
    for (int start : starts)
      for (int len : lens) {
        w.poison();
        w.start_at(start);
        const uint8_t* data = payload.mem.p + 100 + misalign;
        const descriptor d{uint8_t(len)};
        ASSERT_EQ(send(w, data, len, d), 0) << len;
        expect_send(w, start, d, data, len);
        EXPECT_EQ(w.tx.tx_offset_, (start + kvel::tx_send_credits(len) * 32) % WINDOW);
        EXPECT_EQ(w.tx.tx_available_256bit_, 128 - kvel::tx_send_credits(len));
      }
}

// Payloads that end right before an inaccessible page: no read may cross into it.
TEST_P(RoutineTest, NoReadBeyondThePageAfterThePayload) {
  tx_window w;
  zt::page_end guard;
  payload_area source;
  std::vector<int> lens;
  for (int len = 0; len <= 200; ++len) lens.push_back(len);
  lens.insert(lens.end(), {1472, 4064});
  for (int gap : {0, 1, 10, 31, 32, 33, 63, 64})
    for (int len : lens) {
      uint8_t* data = guard.end() - gap - len;
      memcpy(data, source.mem.p, size_t(len));
      w.poison();
      w.start_at(0);
      const descriptor d;
      ASSERT_EQ(send(w, data, len, d), 0);
      expect_send(w, 0, d, data, len);
    }
}

// A send without payload reads none: control segments pass no data at all.
TEST_P(RoutineTest, SendWithoutPayloadReadsNoPayload) {
  tx_window w;
  const descriptor d;
  ASSERT_EQ(send(w, nullptr, 0, d), 0);
  expect_send(w, 0, d, nullptr, 0);
  EXPECT_EQ(w.tx.tx_offset_, 64);
}

TEST_P(RoutineTest, FreshStateTakesOneLapThenWaitsForTheCard) {
  tx_window w;
  payload_area payload;
  const descriptor d;
  access_counter reads(w.tx.fdb_);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(send(w, payload.mem.p, i % 33, d), 0) << i;
  if (reads.works()) {
    EXPECT_EQ(reads.count(), 0) << "feedback read while credits lasted";
  }
  EXPECT_EQ(w.tx.tx_offset_, 4096);
  EXPECT_EQ(w.tx.tx_available_256bit_, 0);

  // The card is still at line 0 of round 0: the writer at line 0 of round 1 has no room.
  w.poison();
  EXPECT_EQ(send(w, payload.mem.p, 0, d), -1);
  EXPECT_EQ(w.tx.tx_offset_, 4096);
  EXPECT_EQ(w.tx.tx_available_256bit_, 0);
  EXPECT_TRUE(w.line_untouched(4096));

  w.set_feedback(0, 1);
  EXPECT_EQ(send(w, payload.mem.p, 0, d), 0);
  expect_send(w, 4096, d, payload.mem.p, 0);
  EXPECT_EQ(w.tx.tx_offset_, 4096 + 64);
  EXPECT_EQ(w.tx.tx_available_256bit_, 0);
}

TEST_P(RoutineTest, LengthThatCanNeverFitIsRefused) {
  tx_window w;
  payload_area payload;
  const descriptor d;
  for (int len : {-1, -100, 4065, 100000}) {
    EXPECT_EQ(send(w, payload.mem.p, len, d), -EMSGSIZE) << len;
    EXPECT_EQ(w.tx.tx_offset_, 0);
    EXPECT_EQ(w.tx.tx_available_256bit_, 128);
    EXPECT_TRUE(w.line_untouched(0));
  }
  EXPECT_EQ(send(w, payload.mem.p, 4064, d), 0);  // exactly the whole ring
  EXPECT_EQ(w.tx.tx_offset_, 4096);
}

// Many laps of the window with a card that keeps up: the offset wraps from 16320 to 0
// and the feedback word is read about once per 64 lines.
TEST_P(RoutineTest, WindowWrapsWithACardThatKeepsUp) {
  tx_window w;
  payload_area payload;
  access_counter reads(w.tx.fdb_);
  for (int i = 0; i < 600; ++i) {
    const int start = w.tx.tx_offset_;
    ASSERT_EQ(start, i * 64 % WINDOW);
    const descriptor d{uint8_t(i)};
    w.poison_line(start + 64);  // written a lap ago
    ASSERT_EQ(send(w, payload.mem.p + i, 20, d), 0);
    expect_send(w, start, d, payload.mem.p + i, 20);
    w.card_catch_up();
    if (start == WINDOW - 64) {
      EXPECT_EQ(w.tx.tx_offset_, 0) << "next round after the end";
    }
  }
  if (reads.works()) {
    EXPECT_EQ(reads.count(), 600 / 64);
  }
}

INSTANTIATE_TEST_SUITE_P(Routines, RoutineTest, ::testing::ValuesIn(routines),
                         [](const auto& info) { return std::string(info.param.name); });

// Credits from the feedback word: the card in the writer's round is behind on the
// same lap, in another round it is still finishing the previous lap.
TEST(TxPoll, RoomFromFeedbackWord) {
  struct row { int offset, round, rdptr, len, result, credits; };
  const row rows[] = {
      {0, 0, 0, 0, 2, 126},             // empty ring
      {4096, 0, 0, 0, -1, 0},           // a full lap ahead of the card
      {4096, 0, 3, 100, 6, 0},          // three lines freed, three needed
      {4096, 0, 3, 161, -1, 6},         // four needed
      {0x3fc0, 3, 63, 0, 2, 126},       // last line of the window, ring empty
      {0x3fc0, 2, 63, 0, -1, 0},        // same line, card a round behind: full
      {0x3fc0, 3, 10, 0, 2, 20},        // (64 + 10 - 63) lines free
      {10 * 64, 3, 20, 300, 12, 8},     // card finishing round 3 at line 20
  };
  for (const row& r : rows) {
    tx_window w;
    w.tx.tx_offset_ = r.offset;
    w.tx.tx_available_256bit_ = 0;
    w.set_feedback(r.round, r.rdptr);
    EXPECT_EQ(w.tx.reserve(r.len, 2), r.result) << "offset " << r.offset << " rdptr " << r.rdptr;
    EXPECT_EQ(w.tx.tx_available_256bit_, r.credits) << "offset " << r.offset;
  }
}

// A card that never frees room: the feedback word is read max_polls + 2 times (AVX2:
// 4, a fence, then max_polls + 2), and nothing is written. The MOVDIR64B routine runs
// here too: without room it returns before its first store.
TEST(TxPoll, PollsOfEachRoutineWhenTheCardIsStuck) {
  struct row { const char* name; routine_ptr r; const char* feature; int max_polls, reads; };
  const row rows[] = {
      {"movdir64b", &tx_pio::write_movdir64b, nullptr, 100, 102},
      {"avx512", &tx_pio::write_avx512, "avx512f", 100, 102},
      {"avx512", &tx_pio::write_avx512, "avx512f", 0, 2},
      {"avx2", &tx_pio::write_avx2, "avx2", 100, 106},
      {"avx2", &tx_pio::write_avx2, "avx2", 10, 16},
  };
  payload_area payload;
  const descriptor d;
  for (const row& r : rows) {
    if (!cpu_has(r.feature)) continue;
    tx_window w;
    w.tx.tx_offset_ = 4096;
    w.tx.tx_available_256bit_ = 0;
    access_counter reads(w.tx.fdb_);
    if (!reads.works()) GTEST_SKIP() << "no hardware breakpoints here";
    EXPECT_EQ(write_with(w.tx, r.r, payload.mem.p, 100, d.b, r.max_polls), -1) << r.name;
    EXPECT_EQ(reads.count(), r.reads) << r.name << " max_polls " << r.max_polls;
    EXPECT_EQ(w.tx.tx_offset_, 4096);
    EXPECT_EQ(w.tx.tx_available_256bit_, 0);
    EXPECT_TRUE(w.line_untouched(4096));
  }
}

TEST(TxState, InitEmptiesWindowRingAndFeedback) {
  tx_window w;
  memset(w.window.p, 0x77, WINDOW);
  *w.card_view = 0xffffffff;
  w.tx.tx_offset_ = 1234 * 64 % WINDOW;
  w.tx.tx_available_256bit_ = 5;
  w.tx.init_tx_state();
  EXPECT_EQ(w.tx.tx_offset_, 0);
  EXPECT_EQ(*w.tx.fdb_, 0u);
  EXPECT_EQ(w.tx.tx_available_256bit_, 128);
  EXPECT_EQ(w.tx.ring_bytes_, 4096);
  EXPECT_EQ(w.tx.ring_shift_, 12);
  EXPECT_EQ(w.tx.ring_mask_, 0xfff);
  EXPECT_EQ(w.tx.window_bytes_, 0x4000);
  EXPECT_EQ(w.tx.window_mask_, 0x3fff);
  for (int i = 0; i < WINDOW; ++i)
    ASSERT_EQ(w.window.p[i], i < 12288 ? 0x77 : 0) << "window byte " << i;
}

// Set-up against a memory file standing in for the driver node: the window and the
// feedback page are the file's ranges at 0x3000 and 0x6000.
TEST(TxSetup, MapsPagesChoosesRoutineAndEnablesTx) {
  zt::memfd_device dev(0x7000);
  const std::vector<uint8_t> dirt(0x4000, 0xEE);
  ASSERT_EQ(pwrite(dev.fd, dirt.data(), dirt.size(), 0x3000), ssize_t(dirt.size()));
  zt::fake_session s;
  s.dev_fd = dev.fd;
  s.control = 0x02;
  s.set(0x28, 0xABCD1234);
  tx_pio tx;
  tx.owner_ = s.ref();
  testing::internal::CaptureStderr();
  ASSERT_EQ(tx.setup_tx_window(0x11), 0);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(out == "Using CPU feat: avx512f\n" || out == "Using CPU feat: avx2\n" ||
              out == "Using CPU feat: movdir64b\n")
      << out;
  EXPECT_EQ(s.control, 0x13u);
  EXPECT_EQ(s.get(0x08), 0x13u);
  EXPECT_EQ(tx.tx_flags_, 0x1234);
  EXPECT_EQ(tx.tx_available_256bit_, 128);

  uint8_t quarter[4096];
  ASSERT_EQ(pread(dev.fd, quarter, sizeof quarter, 0x3000 + 12288), ssize_t(sizeof quarter));
  EXPECT_EQ(std::vector<uint8_t>(quarter, quarter + 4096), std::vector<uint8_t>(4096, 0));
  const uint32_t fdb = 0x00020005;
  ASSERT_EQ(pwrite(dev.fd, &fdb, 4, 0x6000), 4);
  EXPECT_EQ(*tx.fdb_, fdb);
  if (out != "Using CPU feat: movdir64b\n") {
    payload_area payload;
    const descriptor d;
    ASSERT_EQ(tx.write(payload.mem.p, 40, d.b, 10), 0);
    uint8_t line[64];
    ASSERT_EQ(pread(dev.fd, line, 64, 0x3000), 64);
    EXPECT_EQ(memcmp(line, d.b, 32), 0);
    EXPECT_EQ(memcmp(line + 32, payload.mem.p, 32), 0);
  }
  tx.unmap();
  EXPECT_EQ(tx.tx_pio_mem_, nullptr);
  EXPECT_EQ(tx.fdb_, nullptr);
}

TEST(TxSetup, WindowThatCannotBeMappedLeavesTxOff) {
  zt::fake_session s;
  s.control = 0x13;
  tx_pio tx;
  tx.owner_ = s.ref();
  EXPECT_EQ(tx.setup_tx_window(0x11), -1);
  EXPECT_EQ(s.control, 0x02u);
  EXPECT_EQ(s.get(0x08), 0x02u);
  EXPECT_EQ(tx.tx_pio_mem_, nullptr);
  EXPECT_EQ(tx.tx_write_, nullptr);
  tx.unmap();
}

// The choice of routine for given feature flags and environment.
struct env_guard {
  env_guard(const char* movdir, const char* avx512) {
    set("DISABLEMOVDIR", movdir);
    set("DISABLEAVX512", avx512);
  }
  ~env_guard() {
    unsetenv("DISABLEMOVDIR");
    unsetenv("DISABLEAVX512");
  }
  static void set(const char* name, const char* value) {
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
};

struct features { uint8_t avx2, avx512f, movdir64b, clflushopt; };

void give(tx_pio& tx, features f) {
  tx.has_avx2_ = f.avx2;
  tx.has_avx512f_ = f.avx512f;
  tx.has_movdir64b_ = f.movdir64b;
  tx.has_clflushopt_ = f.clflushopt;
}

TEST(TxChoice, FirstAllowedRoutineIsAnnounced) {
  struct row {
    features f;
    const char* no_movdir;
    const char* no_avx512;
    routine_ptr want;
    const char* line;
  };
  const features all{1, 1, 1, 1};
  const row rows[] = {
      {all, nullptr, nullptr, &tx_pio::write_movdir64b, "Using CPU feat: movdir64b\n"},
      {all, "", nullptr, &tx_pio::write_avx512, "Using CPU feat: avx512f\n"},
      {all, "1", "1", &tx_pio::write_avx2, "Using CPU feat: avx2\n"},
      {{1, 1, 0, 1}, nullptr, "0", &tx_pio::write_avx2, "Using CPU feat: avx2\n"},
      {{1, 1, 0, 0}, "1", nullptr, &tx_pio::write_avx512, "Using CPU feat: avx512f\n"},
      {{1, 0, 0, 0}, nullptr, nullptr, &tx_pio::write_avx2, "Using CPU feat: avx2\n"},
      {{0, 0, 1, 0}, nullptr, "1", &tx_pio::write_movdir64b, "Using CPU feat: movdir64b\n"},
  };
  for (const row& r : rows) {
    env_guard env(r.no_movdir, r.no_avx512);
    tx_pio tx;
    give(tx, r.f);
    testing::internal::CaptureStderr();
    tx.install_tx_write();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), r.line);
    EXPECT_TRUE(tx.tx_write_ == r.want) << r.line;
  }
}

struct child_result { int status; std::string out; };

// Runs install_tx_write in a child process and collects its standard output.
child_result install_in_child(features f, const char* no_movdir, const char* no_avx512) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return {-1, ""};
  fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 2);
    env_guard env(no_movdir, no_avx512);
    tx_pio tx;
    give(tx, f);
    tx.install_tx_write();
    _exit(0);
  }
  close(pipefd[1]);
  child_result r{-1, ""};
  char buf[512];
  for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;) r.out.append(buf, size_t(n));
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(TxChoice, NoAllowedRoutineEndsTheProcess) {
  const std::string unsupported =
      "\33[31mkvel:\33[0m Unsupported CPU, no AVX2 or CLFLUSHOPT support, aborting!\n";
  struct row { features f; const char* no_movdir; const char* no_avx512; std::string out; };
  const row rows[] = {
      {{0, 0, 0, 0}, nullptr, nullptr, unsupported},
      {{0, 1, 1, 1}, "1", "1", "Has AVX512F\nHas MOVDIR64b\nHas CLFLUSHOPT\n" + unsupported},
      {{0, 0, 1, 0}, "yes", nullptr, "Has MOVDIR64b\n" + unsupported},
  };
  for (const row& r : rows) {
    const child_result got = install_in_child(r.f, r.no_movdir, r.no_avx512);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, r.out);
  }
}

TEST(TxChoice, ThisProcessorsFeatures) {
  env_guard env(nullptr, nullptr);
  tx_pio tx;
  testing::internal::CaptureStderr();
  tx.choose_tx_write();
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(tx.has_avx2_, __builtin_cpu_supports("avx2") ? 1 : 0);
  EXPECT_EQ(tx.has_avx512f_, __builtin_cpu_supports("avx512f") ? 1 : 0);
  if (!tx.has_movdir64b_ && tx.has_avx512f_) {
    EXPECT_EQ(out, "Using CPU feat: avx512f\n");
    EXPECT_TRUE(tx.tx_write_ == &tx_pio::write_avx512);
  }
}

}  // namespace
