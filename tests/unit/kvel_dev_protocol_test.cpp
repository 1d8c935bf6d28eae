// The device-access layer's side of the simulator protocol, against a small fake
// simulator whose answers each test scripts: argument encoding, side-effect and
// write-event registers (with the simulator's side of the event queue), late and
// malformed replies.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "kvel_dev.h"
#include "kvel_ioctl.h"
#include "kvel_mmio_registry.h"
#include "kvel_sim_events.h"
#include "kvel_sim_proto.h"

namespace {

using namespace kvel;

struct request {
  sim_request head;
  std::vector<unsigned char> data;
};

// Sends one reply with count descriptors passed; data is optional.
void send_reply_fds(int fd, const sim_reply& rep, const void* data, size_t len, const int* fds,
                    int count) {
  iovec iov[2] = {{const_cast<sim_reply*>(&rep), sizeof rep}, {const_cast<void*>(data), len}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = len ? 2 : 1;
  alignas(cmsghdr) char control[CMSG_SPACE(SIM_MAX_PASSED_FDS * sizeof(int))];
  if (count) {
    size_t bytes = size_t(count) * sizeof(int);
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(bytes);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_len = CMSG_LEN(bytes);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    memcpy(CMSG_DATA(c), fds, bytes);
  }
  ASSERT_GE(sendmsg(fd, &msg, MSG_NOSIGNAL), 0);
}

// Sends one reply; data and a descriptor to pass are optional.
void send_reply(int fd, const sim_reply& rep, const void* data = nullptr, size_t len = 0,
                int pass_fd = -1) {
  send_reply_fds(fd, rep, data, len, &pass_fd, pass_fd >= 0 ? 1 : 0);
}

sim_reply answer(const request& req, int64_t result, int err = 0, uint64_t value = 0,
                 uint32_t len = 0) {
  return {SIM_PROTO_MAGIC, err, req.head.seq, result, value, len, 0};
}

// A fake simulator node: every connection gets a thread that hands each request to
// the test's script, which answers (or not) as it likes.
class fake_sim {
 public:
  using script = std::function<void(int fd, const request& req)>;

  explicit fake_sim(script s) : script_(std::move(s)) {
    static std::atomic<int> serial{0};
    path_ = "/tmp/kvel_fake_sim_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path_.c_str());
    unlink(path_.c_str());
    EXPECT_EQ(bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(listen_fd_, 16), 0);
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  ~fake_sim() {
    shutdown(listen_fd_, SHUT_RDWR);
    acceptor_.join();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (int fd : conns_) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : servers_) t.join();
    for (int fd : conns_) close(fd);
    close(listen_fd_);
    unlink(path_.c_str());
  }

  const char* path() const { return path_.c_str(); }
  // Waits until the script has finished with n requests in all.
  void wait_handled(int n) const {
    while (handled_ < n) std::this_thread::yield();
  }

 private:
  void accept_loop() {
    for (int fd; (fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      std::lock_guard<std::mutex> lock(mutex_);
      conns_.push_back(fd);
      servers_.emplace_back([this, fd] { serve(fd); });
    }
  }

  void serve(int fd) {
    for (;;) {
      request req;
      req.data.resize(sizeof(sim_request) + SIM_MAX_DATA);
      ssize_t n = recv(fd, req.data.data(), req.data.size(), 0);
      if (n < ssize_t(sizeof req.head)) return;
      memcpy(&req.head, req.data.data(), sizeof req.head);
      req.data.erase(req.data.begin(), req.data.begin() + sizeof req.head);
      req.data.resize(size_t(n) - sizeof req.head);
      script_(fd, req);
      ++handled_;
    }
  }

  script script_;
  std::string path_;
  int listen_fd_ = -1;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> conns_;
  std::vector<std::thread> servers_;
  std::atomic<int> handled_{0};
};

// Descriptors of this process that refer to memfds: the fake closes its own copies
// once a request is handled, so any left after that were leaked by the layer.
int memfd_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      char target[256] = {};
      std::string link = std::string("/proc/self/fd/") + e->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
          strncmp(target, "/memfd:", 7) == 0)
        ++n;
    }
    closedir(d);
  }
  return n;
}

// A memfd page whose words hold 0x1000 + their offset.
int patterned_page() {
  int fd = memfd_create("fake-page", MFD_CLOEXEC);
  EXPECT_EQ(ftruncate(fd, 4096), 0);
  uint64_t words[512];
  for (unsigned i = 0; i < 512; ++i) words[i] = 0x1000 + 8 * i;
  EXPECT_EQ(pwrite(fd, words, sizeof words, 0), ssize_t(sizeof words));
  return fd;
}

// The ioctl's direction and size decide which bytes travel each way.
TEST(KvelDevProtocol, IoctlCarriesTheBytesItsEncodingNames) {
  std::mutex m;
  std::vector<request> seen;
  fake_sim sim([&](int fd, const request& req) {
    {
      std::lock_guard<std::mutex> lock(m);
      seen.push_back(req);
    }
    unsigned size = ioc_size(req.head.arg0);
    std::vector<unsigned char> out(ioc_dir(req.head.arg0) & IOC_DIR_READ ? size : 0, 0x5A);
    send_reply(fd, answer(req, 7, 0, 0, uint32_t(out.size())), out.data(), out.size());
  });
  struct case_t {
    unsigned long cmd;
    size_t sent, received;
  } cases[] = {
      {KVEL_DEV_PROBE, 0, 0},       {KVEL_ALLOC_BLOCK, 4, 0},        {KVEL_TSC_KHZ, 0, 4},
      {KVEL_DEV_PORT_NAME, 64, 64}, {KVEL_TCP_SESSION_SETUP, 44, 0},
  };
  int fd = kvel_dev_open(sim.path());
  ASSERT_GE(fd, 0);
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.cmd);
    unsigned char pattern[64], arg[64];
    for (unsigned i = 0; i < sizeof arg; ++i) pattern[i] = arg[i] = uint8_t(i);
    EXPECT_EQ(kvel_dev_ioctl(fd, c.cmd, arg), 7);
    std::lock_guard<std::mutex> lock(m);
    ASSERT_FALSE(seen.empty());
    const request& req = seen.back();
    EXPECT_EQ(req.head.op, SIM_OP_IOCTL);
    EXPECT_EQ(req.head.arg0, c.cmd);
    EXPECT_EQ(req.data, std::vector<unsigned char>(pattern, pattern + c.sent)) << "input bytes";
    for (size_t i = 0; i < sizeof arg; ++i)
      EXPECT_EQ(arg[i], i < c.received ? 0x5A : uint8_t(i)) << "byte " << i;
  }
  errno = 0;
  EXPECT_EQ(kvel_dev_ioctl(fd, KVEL_ALLOC_BLOCK, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  kvel_dev_close(fd);
}

// A mapping whose reply lists side-effect registers turns accesses to exactly those
// registers into requests; the rest stays shared memory.
TEST(KvelDevProtocol, SideEffectRegistersBecomeRequests) {
  constexpr uint64_t TOKEN = 77;
  std::mutex m;
  std::vector<std::pair<uint64_t, uint64_t>> writes;  // (offset, value)
  std::atomic<uint64_t> reads{0};
  fake_sim sim([&](int fd, const request& req) {
    switch (req.head.op) {
      case SIM_OP_MMAP: {
        uint32_t offsets[] = {0x10, 0x18};
        int page = patterned_page();
        send_reply(fd, answer(req, 0, 0, TOKEN, sizeof offsets), offsets, sizeof offsets, page);
        close(page);
        return;
      }
      case SIM_OP_REG_READ:
        EXPECT_EQ(req.head.arg0, TOKEN);
        return send_reply(fd, answer(req, 0, 0, 0xABC000 + req.head.arg1 + reads++));
      case SIM_OP_REG_WRITE: {
        EXPECT_EQ(req.head.arg0, TOKEN);
        std::lock_guard<std::mutex> lock(m);
        writes.push_back({req.head.arg1, req.head.arg2});
        return send_reply(fd, answer(req, 0));
      }
    }
    send_reply(fd, answer(req, -1, EINVAL));
  });
  int fd = kvel_dev_open(sim.path());
  ASSERT_GE(fd, 0);
  void* page = kvel_dev_mmap(fd, 4096, PROT_READ | PROT_WRITE, KVEL_MMAP_BLOCK_REGS);
  ASSERT_NE(page, MAP_FAILED);
  EXPECT_EQ(mmio_side_effect_maps.load(), 1);

  EXPECT_EQ(mmio_read64(page, 0x08), 0x1008u);
  EXPECT_EQ(mmio_read64(page, 0x10), 0xABC010u);
  EXPECT_EQ(mmio_read64(page, 0x10), 0xABC011u) << "each read is a request of its own";
  mmio_write64(page, 0x18, 5);
  mmio_write64(page, 0x20, 6);
  EXPECT_EQ(static_cast<volatile uint64_t*>(page)[3], 0x1018u)
      << "side-effect write reached memory";
  EXPECT_EQ(static_cast<volatile uint64_t*>(page)[4], 6u);
  {
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], std::make_pair(uint64_t(0x18), uint64_t(5)));
  }

  // Once the descriptor is closed the registers read as a vanished device's would.
  kvel_dev_close(fd);
  uint64_t before = reads;
  EXPECT_EQ(mmio_read64(page, 0x10), ~0ull);
  EXPECT_EQ(reads, before);
  mmio_write64(page, 0x18, 9);
  EXPECT_EQ(writes.size(), 1u);

  EXPECT_EQ(kvel_dev_munmap(page, 4096), 0);
  EXPECT_EQ(mmio_side_effect_maps.load(), 0);
}

// The simulator's half of a write-event page: the queue it passes with the mapping and
// a thread that takes the writes as the simulator's datapath does, sleeping on the wake
// eventfd whenever it has nothing. A sleep that ends by its time limit while writes are
// still to come is a lost wake-up.
class event_taker {
 public:
  explicit event_taker(int expected) : expected_(expected) {
    queue_fd_ = memfd_create("fake-events", MFD_CLOEXEC);
    EXPECT_EQ(ftruncate(queue_fd_, SIM_EVENT_QUEUE_BYTES), 0);
    void* q = mmap(nullptr, SIM_EVENT_QUEUE_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, queue_fd_, 0);
    EXPECT_NE(q, MAP_FAILED);
    queue_ = static_cast<sim_event_queue*>(q);
    queue_->sleeping.store(1);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
  }
  ~event_taker() {
    if (thread_.joinable()) thread_.join();
    munmap(queue_, SIM_EVENT_QUEUE_BYTES);
    close(queue_fd_);
    close(wake_fd_);
  }
  // The page, the queue and the wake descriptor, as an mmap reply passes them.
  void reply(int fd, const request& req, uint64_t token, const uint32_t* offsets, size_t len) {
    int page = patterned_page();
    int fds[] = {page, queue_fd_, wake_fd_};
    send_reply_fds(fd, answer(req, 0, 0, token, uint32_t(len)), offsets, len, fds, 3);
    close(page);
  }
  // Waits until the expected writes were taken or a wake-up was lost (which ends the
  // taking).
  void join() { thread_.join(); }
  std::vector<std::pair<uint32_t, uint64_t>> taken;  // (offset, value); the taker's until join
  int lost_wakeups = 0;                               // the taker's until join

 private:
  void run() {
    uint64_t head = 0;
    sim_event_awake(queue_);
    while (int(taken.size()) < expected_) {
      uint32_t offset;
      uint64_t value;
      if (sim_event_take(queue_, &head, &offset, &value)) {
        taken.push_back({offset, value});
        continue;
      }
      if (!sim_event_sleep(queue_, head)) continue;
      pollfd p{wake_fd_, POLLIN, 0};
      if (poll(&p, 1, 3000) == 0) {
        ++lost_wakeups;
        return;
      }
      eventfd_t n;
      eventfd_read(wake_fd_, &n);
      sim_event_awake(queue_);
    }
  }

  int expected_;
  int queue_fd_ = -1, wake_fd_ = -1;
  sim_event_queue* queue_ = nullptr;
  std::thread thread_;
};

// A write-event register: every write reaches the simulator through the mapping's
// event queue, in the order each thread wrote, none missed, also when the writers fill
// the queue faster than it is taken and when the simulator sleeps in between. Requests
// on the same descriptor from another thread keep their answers; the register's page
// is never written and reads as plain memory.
TEST(KvelDevProtocol, WriteEventRegistersGoThroughTheQueueInOrder) {
  constexpr uint64_t TOKEN = 78;
  constexpr uint32_t DOORBELL = 0x60, SIDE = 0x10;
  constexpr int WRITERS = 2, WRITES = 3000, CALLS = 200;
  event_taker taker(WRITERS * WRITES);
  std::atomic<int> misrouted{0};
  fake_sim sim([&](int fd, const request& req) {
    switch (req.head.op) {
      case SIM_OP_MMAP: {
        uint32_t offsets[] = {SIDE, DOORBELL | SIM_REG_WRITE_EVENT};
        return taker.reply(fd, req, TOKEN, offsets, sizeof offsets);
      }
      case SIM_OP_REG_READ:
        return send_reply(fd, answer(req, 0, 0, 0xF00D));
      case SIM_OP_IOCTL: {
        int v;
        memcpy(&v, req.data.data(), sizeof v);
        v = v * 3 + 1;
        return send_reply(fd, answer(req, 0, 0, 0, sizeof v), &v, sizeof v);
      }
    }
    ++misrouted;
    send_reply(fd, answer(req, -1, EINVAL));
  });
  int fd = kvel_dev_open(sim.path());
  ASSERT_GE(fd, 0);
  void* page = kvel_dev_mmap(fd, 4096, PROT_READ | PROT_WRITE, KVEL_MMAP_REGS);
  ASSERT_NE(page, MAP_FAILED);

  std::atomic<int> wrong{0};
  std::thread calls([&] {
    for (int i = 0; i < CALLS; ++i) {
      int v = i;
      if (kvel_dev_ioctl(fd, KVEL_GET_FIBER, &v) != 0 || v != i * 3 + 1) ++wrong;
      if (i % 10 == 0 && mmio_read64(page, SIDE) != 0xF00D) ++wrong;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < WRITERS; ++w)
    writers.emplace_back([&, w] {
      for (int i = 0; i < WRITES; ++i) {
        mmio_write64(page, DOORBELL, uint64_t(w) << 32 | uint64_t(i));
        if (i % 500 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  for (std::thread& t : writers) t.join();
  calls.join();
  taker.join();
  EXPECT_EQ(wrong, 0) << "a call lost its reply beside the write events";
  EXPECT_EQ(misrouted, 0);
  EXPECT_EQ(taker.lost_wakeups, 0);
  ASSERT_EQ(taker.taken.size(), size_t(WRITERS * WRITES)) << "every write is an event of its own";
  int next[WRITERS] = {};
  for (const auto& [offset, value] : taker.taken) {
    EXPECT_EQ(offset, DOORBELL);
    int w = int(value >> 32);
    ASSERT_LT(w, WRITERS);
    EXPECT_EQ(uint32_t(value), uint32_t(next[w]++)) << "writer " << w << " out of order";
  }
  EXPECT_EQ(static_cast<volatile uint64_t*>(page)[DOORBELL / 8], 0x1000u + DOORBELL)
      << "a write event reached the page";
  EXPECT_EQ(mmio_read64(page, DOORBELL), 0x1000u + DOORBELL) << "a read is plain memory";

  // Once the descriptor is closed, writes go nowhere (nothing would take them).
  kvel_dev_close(fd);
  mmio_write64(page, DOORBELL, 1);
  EXPECT_EQ(kvel_dev_munmap(page, 4096), 0);
}

TEST(KvelDevProtocol, PlainMappingIsNotRegistered) {
  fake_sim sim([](int fd, const request& req) {
    int page = patterned_page();
    send_reply(fd, answer(req, 0), nullptr, 0, page);
    close(page);
  });
  int fd = kvel_dev_open(sim.path());
  ASSERT_GE(fd, 0);
  void* page = kvel_dev_mmap(fd, 4096, PROT_READ, KVEL_MMAP_FIBER_CONF);
  ASSERT_NE(page, MAP_FAILED);
  EXPECT_EQ(mmio_side_effect_maps.load(), 0);
  EXPECT_EQ(mmio_read64(page, 0x10), 0x1010u);
  EXPECT_EQ(kvel_dev_munmap(page, 4096), 0);
  kvel_dev_close(fd);
}

// A reply that comes after its caller gave up must not be taken for the answer to
// the next call: here the fake sends an outdated reply (with a descriptor) first.
TEST(KvelDevProtocol, OutdatedReplyIsDropped) {
  fake_sim sim([](int fd, const request& req) {
    sim_reply late = answer(req, 0, 0, 0, 4);
    late.seq -= 1;
    int stray = memfd_create("stray", MFD_CLOEXEC);
    uint32_t word = 0xDEAD;
    send_reply(fd, late, &word, sizeof word, stray);
    close(stray);
    int value = 1234;
    send_reply(fd, answer(req, 0, 0, 0, sizeof value), &value, sizeof value);
  });
  int fd = kvel_dev_open(sim.path());
  ASSERT_GE(fd, 0);
  int khz = 0;
  EXPECT_EQ(kvel_dev_ioctl(fd, KVEL_TSC_KHZ, &khz), 0);
  EXPECT_EQ(khz, 1234);
  sim.wait_handled(1);
  EXPECT_EQ(memfd_count(), 0) << "the outdated reply's descriptor leaked";
  kvel_dev_close(fd);
}

// Replies that break the format fail the call with EPROTO (or ENODEV for a hang-up),
// leak nothing, and leave the descriptor usable for the next call.
TEST(KvelDevProtocol, MalformedRepliesAreRefused) {
  enum fault {
    BAD_MAGIC,
    LEN_MISMATCH,
    SHORT_OUTPUT,
    EXTRA_OUTPUT,
    STRAY_FD,
    MAP_WITHOUT_FD,
    HANG_UP
  };
  std::atomic<int> current{BAD_MAGIC};
  fake_sim sim([&](int fd, const request& req) {
    int value = 99;
    if (req.head.arg0 == KVEL_DEV_PROBE) return send_reply(fd, answer(req, 0));  // the health check
    sim_reply rep = answer(req, 0, 0, 0, sizeof value);
    switch (current.load()) {
      case BAD_MAGIC:
        rep.magic = 0;
        return send_reply(fd, rep, &value, sizeof value);
      case LEN_MISMATCH:
        rep.len = 2;
        return send_reply(fd, rep, &value, sizeof value);
      case SHORT_OUTPUT:
        rep.len = 2;
        return send_reply(fd, rep, &value, 2);
      case EXTRA_OUTPUT: {
        unsigned char big[64] = {};
        rep.len = sizeof big;
        return send_reply(fd, rep, big, sizeof big);
      }
      case STRAY_FD: {
        int stray = memfd_create("stray", MFD_CLOEXEC);
        send_reply(fd, rep, &value, sizeof value, stray);
        close(stray);
        return;
      }
      case MAP_WITHOUT_FD:
        return send_reply(fd, answer(req, 0));
      case HANG_UP:
        shutdown(fd, SHUT_RDWR);
        return;
    }
  });
  struct case_t {
    fault f;
    int err;
  } cases[] = {{BAD_MAGIC, EPROTO},    {LEN_MISMATCH, EPROTO}, {SHORT_OUTPUT, EPROTO},
               {EXTRA_OUTPUT, EPROTO}, {STRAY_FD, EPROTO},     {MAP_WITHOUT_FD, EPROTO},
               {HANG_UP, ENODEV}};
  int requests = 0;
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.f);
    current = c.f;
    int fd = kvel_dev_open(sim.path());
    ASSERT_GE(fd, 0);
    errno = 0;
    if (c.f == MAP_WITHOUT_FD) {
      EXPECT_EQ(kvel_dev_mmap(fd, 4096, PROT_READ, KVEL_MMAP_FIBER_CONF), MAP_FAILED);
    } else {
      int khz = 0;
      EXPECT_EQ(kvel_dev_ioctl(fd, KVEL_TSC_KHZ, &khz), -1);
    }
    EXPECT_EQ(errno, c.err);
    sim.wait_handled(++requests);
    EXPECT_EQ(memfd_count(), 0) << "a passed descriptor leaked";
    if (c.f != HANG_UP) {
      EXPECT_EQ(kvel_dev_ioctl(fd, KVEL_DEV_PROBE, nullptr), 0) << "descriptor unusable";
      ++requests;
    }
    kvel_dev_close(fd);
  }
}

// Several threads, each with its own descriptor, get their own answers.
TEST(KvelDevProtocol, ConcurrentDescriptorsKeepTheirAnswers) {
  fake_sim sim([](int fd, const request& req) {
    int v;
    memcpy(&v, req.data.data(), sizeof v);
    v = v * 3 + 1;
    send_reply(fd, answer(req, 0, 0, 0, sizeof v), &v, sizeof v);
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      int fd = kvel_dev_open(sim.path());
      for (int i = 0; i < 200; ++i) {
        int v = t * 1000 + i;
        if (kvel_dev_ioctl(fd, KVEL_GET_FIBER, &v) != 0 || v != (t * 1000 + i) * 3 + 1) ++wrong;
      }
      kvel_dev_close(fd);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
