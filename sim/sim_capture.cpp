#include "sim_capture.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "kvel_ioctl.h"
#include "sim_clock.h"
#include "sim_parse.h"

namespace zsim {
namespace {

// Each port's ring sits in a card address window of its own, so that a DMA's address
// alone names the port.
constexpr uint64_t CAPTURE_WINDOW = uint64_t(1) << 32;
// The card leaves the fill after a frame as the memory held it; a pattern there makes a
// reader that copies the fill into its output show.
constexpr unsigned char FILL_BYTE = 0xA5;
constexpr uint16_t TEST_ETHERTYPE = 0x88B5;  // local experimental, for ctl-made records

uint64_t round_up(uint64_t n, uint64_t to) { return (n + to - 1) / to * to; }

// Copies n bytes (or the fill, src null) into the ring at *pos, wrapping at its end.
void ring_put(sim_capture& cap, uint64_t* pos, const unsigned char* src, size_t n) {
  while (n) {
    size_t piece = std::min<size_t>(n, cap.size() - *pos);
    unsigned char* dst = cap.mem.bytes() + *pos;
    if (src) {
      memcpy(dst, src, piece);
      src += piece;
    } else {
      memset(dst, FILL_BYTE, piece);
    }
    n -= piece;
    *pos = (*pos + piece) % cap.size();
  }
}

// Appends one record stamped ns (card time); false when the unread records leave no
// room for it (it is dropped: unread records are never overwritten). Under the mutex.
bool record(sim_capture& cap, const unsigned char* frame, uint16_t len, uint8_t dir, int64_t ns) {
  uint64_t need = CAPTURE_ALIGN + round_up(len, CAPTURE_ALIGN);
  uint64_t used = (cap.wr + cap.size() - cap.rd) % cap.size();
  if (used + need >= cap.size()) {
    ++cap.dropped;
    return false;
  }
  unsigned char head[CAPTURE_ALIGN];
  memset(head, FILL_BYTE, sizeof head);
  uint32_t nsec = uint32_t(ns % 1000000000), sec = uint32_t(ns / 1000000000);
  memcpy(head, &nsec, 4);
  memcpy(head + 4, &sec, 4);
  memcpy(head + 8, &len, 2);
  head[10] = dir;
  uint64_t pos = cap.wr;
  ring_put(cap, &pos, head, sizeof head);
  ring_put(cap, &pos, frame, len);
  ring_put(cap, &pos, nullptr, size_t(round_up(len, CAPTURE_ALIGN) - len));
  cap.wr = pos;
  // The reader learns of the record only once all of its bytes are in place.
  cap.regs.set_reg(CAP_WR_OFFSET, pos);
  cap.regs.set_reg(CAP_WR_ADDR, pos);
  ++cap.records;
  cap.bytes += len;
  return true;
}

// The card time at the MAC for a frame seen on the wire now: a transmitted frame left
// the MAC its TX delay earlier, a received one reaches it its RX delay later. The
// reader adds the delays back.
int64_t mac_time(const sim_capture& cap, uint8_t dir) {
  uint64_t now = card_time_now();
  int64_t ns = int64_t(now >> 32) * 1000000000 + int64_t(now & 0xFFFFFFFF);
  ns += dir ? -int64_t(cap.tx_delay_ps) / 1000 : int64_t(cap.rx_delay_ps) / 1000;
  return std::max<int64_t>(ns, 0);
}

// A new rd_addr, taken when it lies between the reader's old position and the card's
// write position on a record boundary; anything else is counted and ignored.
void take_announcement(sim_capture& cap) {
  uint64_t r = cap.regs.reg(CAP_RD_ADDR);
  uint64_t ahead = (r + cap.size() - cap.rd) % cap.size();
  uint64_t unread = (cap.wr + cap.size() - cap.rd) % cap.size();
  if (r >= cap.size() || r % CAPTURE_ALIGN || ahead > unread) {
    ++cap.bad_announcements;
    return;
  }
  cap.rd = r;
}

uint64_t ack_read(void* owner, uint32_t) {
  auto& cap = *static_cast<sim_capture*>(owner);
  std::lock_guard<std::mutex> lock(cap.mutex);
  return cap.ack;
}

void ack_write(void* owner, uint32_t, uint64_t value) {
  auto& cap = *static_cast<sim_capture*>(owner);
  std::lock_guard<std::mutex> lock(cap.mutex);
  if ((value & 0xFF) == CAPTURE_ACK_REQUEST) {
    cap.ack = cap.deny ? value : value | CAPTURE_ACK_GRANTED;
    return;
  }
  // The role stays granted until the next request; the other bits read as written.
  uint64_t granted = cap.ack & CAPTURE_ACK_GRANTED;
  if ((value & CAPTURE_ACK_ANNOUNCE) && granted) take_announcement(cap);
  cap.ack = (value & ~(CAPTURE_ACK_ANNOUNCE | CAPTURE_ACK_GRANTED)) | granted;
}

// A frame for "capture K add": an Ethernet header and a counting payload, so that a
// reader's output can be checked byte by byte.
std::vector<unsigned char> test_frame(uint16_t len, uint64_t serial) {
  std::vector<unsigned char> f(len);
  for (size_t i = 0; i < len; ++i) f[i] = uint8_t(i + serial);
  if (len >= 14) {
    memset(f.data(), 0xFF, 6);
    f[12] = TEST_ETHERTYPE >> 8;
    f[13] = TEST_ETHERTYPE & 0xFF;
  }
  return f;
}

std::string show(sim_capture& cap) {
  char text[512];
  snprintf(text, sizeof text,
           "low 0x%" PRIx64 "\nhigh 0x%" PRIx64 "\nalign %" PRIu64 "\nwr %" PRIu64
           "\nrd %" PRIu64 "\nrd_addr %" PRIu64 "\nack 0x%" PRIx64 "\nrecords %" PRIu64
           "\nbytes %" PRIu64 "\ndropped %" PRIu64 "\nbad_announcements %" PRIu64,
           cap.low, cap.low + cap.size(), cap.regs.reg(CAP_BUS_WIDTH) & 0xFF, cap.wr, cap.rd,
           cap.regs.reg(CAP_RD_ADDR), cap.ack, cap.records, cap.bytes, cap.dropped,
           cap.bad_announcements);
  return text;
}

// The ring emptied and both positions moved to off (a multiple of the alignment).
bool seek(sim_capture& cap, const std::string& text, std::string* out) {
  uint64_t off;
  if (!parse_u64(text, &off) || off >= cap.size() || off % CAPTURE_ALIGN)
    return *out = "bad ring offset " + text, false;
  cap.wr = cap.rd = off;
  for (unsigned r : {CAP_WR_OFFSET, CAP_WR_ADDR, CAP_RD_ADDR}) cap.regs.set_reg(r, off);
  return *out = "ok", true;
}

// "add LEN DIR [COUNT]": COUNT records of LEN-byte frames, stamped now.
bool add(sim_capture& cap, const std::vector<std::string>& args, std::string* out) {
  uint64_t len, dir, count = 1;
  if (args.size() < 4 || !parse_u64(args[2], &len) || len > 0xFFFF || !parse_u64(args[3], &dir) ||
      dir > 0xFF || (args.size() > 4 && !parse_u64(args[4], &count)))
    return *out = "usage: capture <k> add <len> <dir> [<count>]", false;
  uint64_t added = 0;
  while (added < count) {
    std::vector<unsigned char> f = test_frame(uint16_t(len), cap.records);
    if (!record(cap, f.data(), uint16_t(len), uint8_t(dir), mac_time(cap, uint8_t(dir)))) break;
    ++added;
  }
  *out = "added " + std::to_string(added);
  return added == count;
}

bool reg_access(sim_capture& cap, const std::vector<std::string>& args, std::string* out) {
  uint64_t reg, value = 0;
  bool set = args[1] == "set";
  if (args.size() != (set ? 4u : 3u) || !parse_u64(args[2], &reg) || reg >= cap.regs.reg_count() ||
      (set && !parse_u64(args[3], &value)))
    return *out = "usage: capture <k> get <reg> | set <reg> <val>", false;
  if (set) cap.regs.set_reg(unsigned(reg), value);
  char text[32];
  snprintf(text, sizeof text, "0x%016" PRIx64, cap.regs.reg(unsigned(reg)));
  return *out = set ? "ok" : text, true;
}

bool subcommand(sim_capture& cap, const std::vector<std::string>& args, std::string* out) {
  const std::string what = args.size() > 1 ? args[1] : "show";
  if (what == "show") return *out = show(cap), true;
  if (what == "seek" && args.size() == 3) return seek(cap, args[2], out);
  if (what == "add") return add(cap, args, out);
  if (what == "get" || what == "set") return reg_access(cap, args, out);
  if (what == "fail-dma" && args.size() == 2) return ++cap.fail_dmas, *out = "ok", true;
  if (what == "deny" && args.size() == 3 && (args[2] == "on" || args[2] == "off"))
    return cap.deny = args[2] == "on", *out = "ok", true;
  *out = std::string("usage: ") + CAPTURE_CTL_USAGE;
  return false;
}

}  // namespace

const char CAPTURE_CTL_USAGE[] =
    "capture <k> [show | seek <off> | add <len> <dir> [<count>] | get <reg> | set <reg> <val> | "
    "fail-dma | deny on|off]";

bool capture_create(sim_port& port, uint32_t size_mb) {
  auto cap = std::make_unique<sim_capture>();
  std::string name = "zorvnic-capture-" + port.conf.ifname;
  if (!cap->regs.create((name + "-regs").c_str(), kvel::KVEL_PAGE_SIZE, false) ||
      !cap->mem.create(name.c_str(), size_t(size_mb) << 20, true))
    return false;
  cap->low = uint64_t(port.conf.index + 1) * CAPTURE_WINDOW;
  cap->tx_delay_ps = port.conf.tx_delay_ps;
  cap->rx_delay_ps = port.conf.rx_delay_ps;
  cap->side = {{CAP_RD_ACK * 8}, ack_read, ack_write, cap.get()};
  const sim_region& r = cap->regs;
  r.set_reg(CAP_ENABLE, 1);
  r.set_reg(CAP_BUS_WIDTH, CAPTURE_ALIGN);
  r.set_reg(CAP_NB_BOUNDARIES, 4);
  r.set_reg(CAP_CALIBRATION_DONE, 1);
  r.set_reg(CAP_LOW_ADDR, cap->low);
  r.set_reg(CAP_HIGH_ADDR, cap->low + cap->size());
  r.set_reg(CAP_CONFIGURE_MEMORY, 0x2);
  port.capture = std::move(cap);
  return true;
}

void capture_frame(sim_port& port, const unsigned char* frame, size_t len, uint8_t dir) {
  sim_capture* cap = port.capture.get();
  if (!cap || len > 0xFFFF || cap->regs.reg(CAP_ENABLE) != 1) return;
  int64_t ns = mac_time(*cap, dir);
  std::lock_guard<std::mutex> lock(cap->mutex);
  record(*cap, frame, uint16_t(len), dir, ns);
}

int capture_dma(sim_device& dev, uint64_t start, uint32_t size, unsigned char* buf) {
  if (size == 0 || size > kvel::KVEL_DUMP_DMA_SIZE || start % CAPTURE_ALIGN) return EINVAL;
  for (const auto& port : dev.ports) {
    sim_capture* cap = port->capture.get();
    if (!cap || start < cap->low || start >= cap->low + cap->size()) continue;
    if (start + size > cap->low + cap->size()) return EINVAL;
    std::lock_guard<std::mutex> lock(cap->mutex);
    if (cap->fail_dmas > 0) return --cap->fail_dmas, EIO;
    memcpy(buf, cap->mem.bytes() + (start - cap->low), size);
    return 0;
  }
  return EFAULT;
}

bool capture_ctl(sim_card& card, const std::vector<std::string>& args, std::string* out) {
  uint64_t k;
  if (!parse_u64(args[0], &k) || k >= card.ports.size() || !card.ports[k]->capture)
    return *out = "no port " + args[0], false;
  sim_capture& cap = *card.ports[k]->capture;
  std::lock_guard<std::mutex> lock(cap.mutex);
  return subcommand(cap, args, out);
}

}  // namespace zsim
