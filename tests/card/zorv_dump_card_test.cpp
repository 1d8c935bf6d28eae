// zorv_dump against the simulator's capture memory, with tshark on the peer's wires as
// the reference capture and capinfos and tshark as the readers of the files it writes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "capture_block_reader.h"
#include "capture_blocks.h"
#include "child_process.h"
#include "test_support.h"
#include "zorvsock.h"

namespace {

using zt::child_process;

const std::string DUMP = ZT_ZORV_DUMP;
const std::string DEV = "/dev/zorvnic_0";
constexpr int64_t RING_BYTES = 16 << 20;
// Without their correction kvel0's stamps would be off by its delays (1.7 and 1.9 ms).
constexpr int64_t TIME_TOLERANCE_NS = 500000;

// The traffic the tests make; the ports' IPv6 chatter comes and goes on its own.
const std::string IPV4 = "(arp or ip)";

// One frame as tshark reads it.
struct frame_row {
  int64_t t_ns = 0;
  std::string ifid, ifname, direction;
  std::string key;  // length, addresses, IP id, ports, payload: names the frame
  std::string src;
};

int64_t epoch_ns(const std::string& text) {
  size_t dot = text.find('.');
  std::string frac = dot == std::string::npos ? "" : text.substr(dot + 1);
  frac.resize(9, '0');
  return std::stoll(text.substr(0, dot)) * 1000000000 + std::stoll(frac);
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string item;
  std::istringstream in(s);
  while (std::getline(in, item, sep)) out.push_back(item);
  if (!s.empty() && s.back() == sep) out.push_back("");
  return out;
}

std::vector<frame_row> read_frames(const std::string& file, const std::string& filter = "") {
  zt::cmd_result r = zt::run(
      "tshark -r " + file + (filter.empty() ? "" : " -Y '" + filter + "'") +
      " -T fields -E separator=/t -e frame.time_epoch -e frame.interface_id"
      " -e frame.interface_name -e frame.packet_flags_direction -e frame.len -e eth.src"
      " -e eth.dst -e ip.id -e udp.srcport -e tcp.seq_raw -e data.data");
  std::vector<frame_row> rows;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f = split(line, '\t');
    if (f.size() < 11 || f[0].empty() || !isdigit(static_cast<unsigned char>(f[0][0]))) continue;
    frame_row row;
    row.t_ns = epoch_ns(f[0]);
    row.ifid = f[1];
    row.ifname = f[2];
    row.direction = f[3];
    row.src = f[5];
    for (size_t i = 4; i < f.size(); ++i) row.key += f[i] + "|";
    rows.push_back(row);
  }
  return rows;
}

std::string capinfos_type(const std::string& file) {
  zt::cmd_result r = zt::run("capinfos -t " + file);
  size_t at = r.out.find("File type:");
  if (at == std::string::npos) return r.out;
  std::string line = r.out.substr(at, r.out.find('\n', at) - at);
  return line.substr(line.find_first_not_of(' ', 10));
}

std::string port_mac(const std::string& ifname) {
  return zt::run("cat /sys/class/net/" + ifname + "/address").out.substr(0, 17);
}

// tshark on a wire in the peer namespace.
struct peer_capture {
  std::string file;
  child_process proc;
  peer_capture(const std::string& wire, std::string f)
      : file(std::move(f)),
        proc({"nsenter", "--net=" + std::string(getenv("ZORV_PEER_NETNS")), "tshark", "-i", wire,
              "-w", file},
             file + ".log") {}
  bool ready() {
    if (!proc.wait_output("Capturing on")) return false;
    usleep(500000);  // the report comes a moment before the capture
    return true;
  }
  void stop() {
    proc.signal(SIGINT);
    proc.wait();
  }
};

std::string capture_field(int port, const std::string& key) {
  std::istringstream in(zt::sim_ctl("capture " + std::to_string(port)).out);
  for (std::string k, v; in >> k >> v;)
    if (k == key) return v;
  return "";
}

// Waits until the reader has taken everything the card recorded on the port.
bool wait_caught_up(int port) {
  for (int i = 0; i < 400; ++i) {
    if (capture_field(port, "rd") == capture_field(port, "wr")) return true;
    usleep(25000);
  }
  return false;
}

// zorv_dump with the given arguments after -d.
struct dump_run {
  child_process proc;
  explicit dump_run(const std::vector<std::string>& args, const std::string& log = "/tmp/dump.log")
      : proc(with_device(args), log) {}
  static std::vector<std::string> with_device(const std::vector<std::string>& args) {
    std::vector<std::string> v{DUMP, "-d", DEV};
    v.insert(v.end(), args.begin(), args.end());
    return v;
  }
  // Running with its SIGINT handler: the progress line's start is written after it.
  bool started() { return proc.wait_output("Starting dump loop"); }
  // Running, and the reader has taken what kvel0's ring holds.
  bool caught_up() { return started() && wait_caught_up(0); }
  int interrupt() {
    proc.signal(SIGINT);
    return proc.wait();
  }
};

void udp_to_peer(int port, int len, int count) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(40000);
  inet_pton(AF_INET, ("198.18." + std::to_string(port) + ".2").c_str(), &to.sin_addr);
  std::string payload(size_t(len), 'x');
  for (int i = 0; i < count; ++i) {
    payload[0] = char('a' + i);
    sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    usleep(20000);
  }
  close(fd);
}

// A connection attempt to a closed port: the SYN and the peer's reset.
void tcp_to_peer(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(40001);
  inet_pton(AF_INET, ("198.18." + std::to_string(port) + ".2").c_str(), &to.sin_addr);
  connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(fd);
}

void library_udp(int count) {
  zorvsock_handle* h = zorvsock_acquire_handle();
  ASSERT_EQ(zorvsock_udp_configure(h, "kvel0", 0, zorvsock_str2ip("198.18.0.2"), 40002), 0);
  char payload[200] = "through the library";
  for (int i = 0; i < count; ++i) {
    payload[0] = char('A' + i);
    while (zorvsock_udp_send(h, payload, sizeof payload, nullptr) == -11) usleep(1000);
    usleep(20000);
  }
  zorvsock_release_handle(h);
}

// A connection attempt through the library to a closed port of the peer: the card's
// SYN and the peer's reset, which ends it.
void library_tcp_refused() {
  zorvsock_handle* h = zorvsock_acquire_handle();
  ASSERT_EQ(zorvsock_tcp_connect(h, "kvel0", 7610, zorvsock_str2ip("198.18.0.2"), 40003), 0);
  for (int i = 0; i < 500 && zorvsock_tcp_get_status(h) != ZORVSOCK_TCP_CLOSED; ++i) usleep(10000);
  EXPECT_EQ(zorvsock_tcp_get_status(h), ZORVSOCK_TCP_CLOSED);
  zorvsock_release_handle(h);
}

// One line per frame, for failure messages.
std::string listing(const std::vector<frame_row>& rows) {
  std::string text;
  for (const frame_row& r : rows) text += std::to_string(r.t_ns) + " " + r.key.substr(0, 60) + "\n";
  return text;
}

// Pairs every frame of the peer's capture with the dump's frame of the same content
// (the n-th of equal ones with the n-th): the dump must hold each, and nothing else
// while the peer captured. Before and after it may hold more, since tshark reports
// itself capturing a moment before it is and stops before the tool does. The order
// may differ a little: under load the simulated card takes a frame off the wire (and
// stamps it) a while after the peer sent it.
std::vector<std::pair<frame_row, frame_row>> match_frames(const std::vector<frame_row>& dump,
                                                          const std::vector<frame_row>& peer) {
  std::vector<std::pair<frame_row, frame_row>> pairs;
  std::vector<bool> used(dump.size());
  std::string why = "dump:\n" + listing(dump) + "peer:\n" + listing(peer);
  for (const frame_row& p : peer) {
    size_t i = 0;
    while (i < dump.size() && (used[i] || dump[i].key != p.key)) ++i;
    if (i == dump.size()) {
      ADD_FAILURE() << "not in the dump: " << p.key.substr(0, 80) << "\n" << why;
      continue;
    }
    used[i] = true;
    pairs.push_back({dump[i], p});
  }
  if (pairs.empty()) return pairs;
  auto [lo, hi] = std::minmax_element(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
    return a.first.t_ns < b.first.t_ns;
  });
  int64_t first = lo->first.t_ns, last = hi->first.t_ns;
  for (size_t i = 0; i < dump.size(); ++i)
    if (!used[i] && dump[i].t_ns > first && dump[i].t_ns < last)
      ADD_FAILURE() << "not on the wire: " << dump[i].key.substr(0, 80) << "\n" << why;
  return pairs;
}

// The frames of one interface, each outbound exactly when the card's MAC sent it, at
// the time the peer saw it.
void expect_same_traffic(const std::vector<frame_row>& dump, const std::vector<frame_row>& peer,
                         const std::string& ifid, const std::string& ifname,
                         const std::string& card_mac) {
  std::vector<int64_t> diffs;
  for (const auto& [d, p] : match_frames(dump, peer)) {
    SCOPED_TRACE(d.key.substr(0, 80));
    EXPECT_EQ(d.ifid, ifid);
    EXPECT_EQ(d.ifname, ifname);
    EXPECT_EQ(d.direction, d.src == card_mac ? "0x00000002" : "0x00000001");
    diffs.push_back(std::llabs(d.t_ns - p.t_ns));
  }
  std::sort(diffs.begin(), diffs.end());
  ASSERT_FALSE(diffs.empty());
  EXPECT_LT(diffs[diffs.size() / 2], TIME_TOLERANCE_NS) << "median time difference";
}

class ZorvDump : public ::testing::Test {
 protected:
  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    // Each test starts with nothing unread on either port.
    for (int k : {0, 1}) ASSERT_EQ(zt::sim_ctl("capture " + std::to_string(k) + " seek 0").status, 0);
  }
  // A test may have stopped the recording to hold a register where it set it.
  void TearDown() override { zt::sim_ctl("capture 0 set 1 1"); }
};

// The blocks of a pcapng file, read back one by one with the tool's own reader; the
// file must end after a whole block.
std::vector<zdump::pcapng_block> read_blocks(const std::string& path) {
  std::vector<zdump::pcapng_block> blocks;
  FILE* in = fopen(path.c_str(), "rb");
  if (!in) {
    ADD_FAILURE() << "cannot open " << path;
    return blocks;
  }
  zdump::pcapng_block b;
  int r;
  while ((r = zdump::read_block(in, &b)) == 1) blocks.push_back(b);
  EXPECT_EQ(r, 0) << path;
  fclose(in);
  return blocks;
}

std::string option_text(const zdump::decoded_option& o) { return {o.value.begin(), o.value.end()}; }

// One section with nothing said of its length, then one Ethernet interface of
// nanosecond stamps per name; the packet blocks follow.
void expect_file_head(const std::vector<zdump::pcapng_block>& blocks,
                      const std::vector<std::string>& names) {
  ASSERT_GE(blocks.size(), 1 + names.size());
  const zdump::pcapng_block& shb = blocks[0];
  EXPECT_EQ(shb.type, zdump::SHB_TYPE);
  EXPECT_EQ(shb.total, 28u);
  EXPECT_EQ(shb.magic, zdump::BYTE_ORDER_MAGIC);
  EXPECT_EQ(shb.major, 1);
  EXPECT_EQ(shb.minor, 0);
  EXPECT_EQ(shb.section_length, ~uint64_t(0));
  EXPECT_TRUE(shb.options.empty());
  for (size_t i = 0; i < names.size(); ++i) {
    const zdump::pcapng_block& idb = blocks[1 + i];
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(idb.type, zdump::IDB_TYPE);
    EXPECT_EQ(idb.link_type, zdump::LINKTYPE_ETHERNET);
    EXPECT_EQ(idb.snap_len, 0xFFFFFFFFu);
    ASSERT_EQ(idb.options.size(), 2u);
    EXPECT_EQ(idb.options[0].code, zdump::IDB_OPT_TSRESOL);
    EXPECT_EQ(idb.options[0].value, std::vector<unsigned char>{9});
    EXPECT_EQ(idb.options[1].code, zdump::IDB_OPT_NAME);
    EXPECT_EQ(option_text(idb.options[1]), names[i]);
  }
  for (size_t i = 1 + names.size(); i < blocks.size(); ++i)
    EXPECT_EQ(blocks[i].type, zdump::EPB_TYPE) << "block " << i;
}

// The frame of the serial-th record the card's control socket made (see ctl_payload).
std::vector<unsigned char> ctl_frame(int len, long serial) {
  std::vector<unsigned char> f(static_cast<size_t>(len));
  for (int i = 0; i < len; ++i) f[size_t(i)] = uint8_t(i + serial);
  std::fill(f.begin(), f.begin() + 6, 0xFF);
  f[12] = 0x88, f[13] = 0xB5;
  return f;
}

// The packet blocks of the control socket's records, in file order.
std::vector<zdump::pcapng_block> ctl_blocks(const std::vector<zdump::pcapng_block>& blocks) {
  std::vector<zdump::pcapng_block> out;
  for (const zdump::pcapng_block& b : blocks)
    if (b.type == zdump::EPB_TYPE && b.data.size() >= 14 && b.data[12] == 0x88 &&
        b.data[13] == 0xB5)
      out.push_back(b);
  return out;
}

// An Enhanced Packet Block of one record: the frame whole, zeros up to the 32-bit
// boundary, the direction in epb_flags.
void expect_record(const zdump::pcapng_block& b, const std::vector<unsigned char>& frame,
                   uint32_t flags) {
  EXPECT_EQ(b.ifid, 0u);
  EXPECT_EQ(b.captured, frame.size());
  EXPECT_EQ(b.original, frame.size());
  EXPECT_EQ(b.data, frame);
  EXPECT_EQ(b.fill, std::vector<unsigned char>(b.fill.size(), 0));
  EXPECT_EQ(b.total, 32 + ((frame.size() + 3) & ~size_t(3)) + 12);
  ASSERT_EQ(b.options.size(), 1u);
  EXPECT_EQ(b.options[0].code, zdump::EPB_OPT_FLAGS);
  uint32_t value = 0;
  ASSERT_EQ(b.options[0].value.size(), 4u);
  memcpy(&value, b.options[0].value.data(), 4);
  EXPECT_EQ(value, flags);
}

TEST_F(ZorvDump, PcapngOfTwoPortsMatchesThePeersCaptures) {
  peer_capture wire0("wire0", "/tmp/wire0.pcapng"), wire1("wire1", "/tmp/wire1.pcapng");
  ASSERT_TRUE(wire0.ready() && wire1.ready());
  for (int k : {0, 1}) ASSERT_EQ(zt::sim_ctl("capture " + std::to_string(k) + " seek 0").status, 0);
  dump_run dump({"-i", "kvel0", "-i", "kvel1", "-w", "/tmp/two.pcapng"});
  ASSERT_TRUE(dump.started()) << dump.proc.output();
  udp_to_peer(0, 100, 3);
  udp_to_peer(1, 300, 2);
  tcp_to_peer(0);
  library_udp(3);
  library_tcp_refused();
  usleep(300000);
  wire0.stop();
  wire1.stop();
  ASSERT_TRUE(wait_caught_up(0) && wait_caught_up(1));
  EXPECT_EQ(dump.interrupt(), 0) << dump.proc.output();
  EXPECT_EQ(capinfos_type("/tmp/two.pcapng"), "Wireshark/... - pcapng");
  auto peer0 = read_frames(wire0.file, IPV4), peer1 = read_frames(wire1.file, IPV4);
  EXPECT_GE(peer0.size(), 10u);
  EXPECT_GE(peer1.size(), 2u);
  expect_same_traffic(read_frames("/tmp/two.pcapng", IPV4 + " and frame.interface_id == 0"), peer0,
                      "0", "kvel0", port_mac("kvel0"));
  expect_same_traffic(read_frames("/tmp/two.pcapng", IPV4 + " and frame.interface_id == 1"), peer1,
                      "1", "kvel1", port_mac("kvel1"));
}

// An unmodified python3 under the preload library talking to an echo server in the peer:
// its connection goes through a card TCP session, and the dump holds that traffic as the
// peer saw it.
TEST_F(ZorvDump, PcapngHoldsAPreloadedProgramsCardTraffic) {
  const std::string text = "through the interposer";
  child_process echo({"nsenter", "--net=" + std::string(getenv("ZORV_PEER_NETNS")), "python3",
                      "-c",
                      "import socket\n"
                      "s = socket.create_server(('198.18.0.2', 40010)); print('listening', flush=True)\n"
                      "c, _ = s.accept(); c.sendall(c.recv(100)); c.close()"},
                     "/tmp/echo.log");
  ASSERT_TRUE(echo.wait_output("listening")) << echo.output();
  peer_capture wire0("wire0", "/tmp/preloaded.pcapng");
  ASSERT_TRUE(wire0.ready());
  ASSERT_EQ(zt::sim_ctl("capture 0 seek 0").status, 0);
  dump_run dump({"-i", "kvel0", "-w", "/tmp/preloaded_dump.pcapng"});
  ASSERT_TRUE(dump.started()) << dump.proc.output();
  const long card_frames = zt::sim_counter("tcp_tx_frames");
  zt::cmd_result client = zt::run(
      "env " ZT_PRELOADED " python3 -c \"import socket; s = socket.create_connection(('198.18.0.2', "
      "40010)); s.sendall(b'" + text + "'); print(s.recv(100).decode()); s.close()\"");
  EXPECT_EQ(client.status, 0) << client.out;
  EXPECT_EQ(zt::without_routine_line(client.out), text + "\n");
  EXPECT_GT(zt::sim_counter("tcp_tx_frames"), card_frames) << "the connection missed the card";
  EXPECT_EQ(echo.wait(), 0);
  usleep(300000);
  wire0.stop();
  ASSERT_TRUE(wait_caught_up(0));
  EXPECT_EQ(dump.interrupt(), 0) << dump.proc.output();
  const std::string tcp = "tcp.port == 40010";
  auto peer = read_frames(wire0.file, tcp);
  EXPECT_GE(peer.size(), 6u) << "handshake, data both ways, ends";
  expect_same_traffic(read_frames("/tmp/preloaded_dump.pcapng", tcp), peer, "0", "kvel0",
                      port_mac("kvel0"));
  auto payload = read_frames("/tmp/preloaded_dump.pcapng", tcp + " and frame contains \"" + text + "\"");
  EXPECT_EQ(payload.size(), 2u) << "the request and its echo";
}

TEST_F(ZorvDump, PcapHoldsAJumboFrameWhole) {
  ASSERT_EQ(zt::run("ip link set kvel0 mtu 9000").status, 0);
  ASSERT_EQ(zt::peer_run("ip link set wire0 mtu 9000").status, 0);
  peer_capture wire0("wire0", "/tmp/jumbo.pcapng");
  ASSERT_TRUE(wire0.ready());
  ASSERT_EQ(zt::sim_ctl("capture 0 seek 0").status, 0);
  dump_run dump({"-i", "kvel0", "-F", "pcap", "-w", "/tmp/jumbo.pcap"});
  ASSERT_TRUE(dump.started()) << dump.proc.output();
  udp_to_peer(0, 8972, 2);  // 9000-byte IP packets
  usleep(300000);
  wire0.stop();
  ASSERT_TRUE(wait_caught_up(0));
  EXPECT_EQ(dump.interrupt(), 0) << dump.proc.output();
  EXPECT_EQ(capinfos_type("/tmp/jumbo.pcap"), "Wireshark/tcpdump/... - nanosecond pcap");
  // The datagrams only: an address resolution of the peer's may fall before the seek that
  // empties the ring, after its own capture began.
  auto frames = read_frames("/tmp/jumbo.pcap", "ip");
  auto peer = read_frames(wire0.file, "ip");
  match_frames(frames, peer);
  int jumbo = 0;
  for (const frame_row& f : frames) jumbo += f.key.rfind("9014|", 0) == 0;
  EXPECT_EQ(jumbo, 2);
  zt::run("ip link set kvel0 mtu 1500");
  zt::peer_run("ip link set wire0 mtu 1500");
}

// The records the card's control socket made, without the frames the kernel sends on
// the port meanwhile (neighbour discovery, the last test's late segments).
std::vector<frame_row> ctl_records(const std::string& file) {
  return read_frames(file, "eth.type == 0x88b5");
}

// Records made by the card's control socket: Ethernet frames of the local experimental
// type whose payload counts up from the record's serial number.
std::string ctl_payload(int len, int serial) {
  std::string hex;
  char b[3];
  for (int i = 14; i < len; ++i) {
    snprintf(b, sizeof b, "%02x", (i + serial) & 0xFF);
    hex += b;
  }
  return hex;
}

TEST_F(ZorvDump, ARecordSplitAcrossTheRingsEndIsWrittenWhole) {
  // An empty ring whose write position stands 128 bytes before its end: the second
  // record (64 + 128 bytes) begins there and ends at the ring's start.
  ASSERT_EQ(zt::sim_ctl("capture 0 seek " + std::to_string(RING_BYTES - 320)).status, 0);
  long before = std::stol(capture_field(0, "records"));
  ASSERT_EQ(zt::sim_ctl("capture 0 add 100 1 3").status, 0) << zt::sim_ctl("capture 0").out;
  ASSERT_EQ(zt::sim_ctl("capture 0 add 61 7 1").status, 0);
  EXPECT_EQ(capture_field(0, "wr"), "384");
  dump_run dump({"-i", "kvel0", "-w", "/tmp/wrap.pcapng"});
  ASSERT_TRUE(dump.caught_up()) << dump.proc.output();
  EXPECT_EQ(dump.interrupt(), 0);
  auto frames = ctl_records("/tmp/wrap.pcapng");
  ASSERT_EQ(frames.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    int len = i < 3 ? 100 : 61;
    EXPECT_EQ(frames[size_t(i)].key.substr(0, std::to_string(len).size() + 1),
              std::to_string(len) + "|");
    EXPECT_NE(frames[size_t(i)].key.find(ctl_payload(len, int(before) + i)), std::string::npos)
        << "record " << i;
    // Direction bytes 1 and 7 are both transmitted.
    EXPECT_EQ(frames[size_t(i)].direction, "0x00000002");
  }
  const auto blocks = read_blocks("/tmp/wrap.pcapng");
  expect_file_head(blocks, {"kvel0"});
  const auto records = ctl_blocks(blocks);
  ASSERT_EQ(records.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    expect_record(records[size_t(i)], ctl_frame(i < 3 ? 100 : 61, before + i),
                  zdump::EPB_FLAG_OUTBOUND);
  }
}

int count_frames(const std::string& file) { return int(ctl_records(file).size()); }

// A new named pipe at path and a shell command that opens it for reading.
child_process fifo_reader(const std::string& path, const std::string& command) {
  zt::run("rm -f " + path + " && mkfifo " + path);
  return child_process({"sh", "-c", command}, path + ".log");
}

TEST_F(ZorvDump, OneInterruptLosesNothingAndTheNextRunDumpsNothingTwice) {
  ASSERT_EQ(zt::sim_ctl("capture 0 add 200 0 5").status, 0);
  {
    dump_run dump({"-i", "kvel0", "-w", "/tmp/first.pcapng"});
    ASSERT_TRUE(dump.started());
    ASSERT_TRUE(wait_caught_up(0));
    EXPECT_EQ(dump.interrupt(), 0);
  }
  EXPECT_EQ(count_frames("/tmp/first.pcapng"), 5);
  EXPECT_EQ(capture_field(0, "rd"), capture_field(0, "wr")) << "final position handed back";
  {
    dump_run dump({"-i", "kvel0", "-w", "/tmp/second.pcapng"});
    ASSERT_TRUE(dump.started());
    ASSERT_EQ(zt::sim_ctl("capture 0 add 300 1 2").status, 0);
    ASSERT_TRUE(wait_caught_up(0));
    EXPECT_EQ(dump.interrupt(), 0);
  }
  auto second = ctl_records("/tmp/second.pcapng");
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0].key.substr(0, 4), "300|");
}

TEST_F(ZorvDump, ASecondInterruptDuringTheStopEndsTheToolWithStatusOne) {
  // A pipe that nobody reads holds the stop in its last write.
  child_process idle_reader = fifo_reader("/tmp/stuck", "exec sleep 60 < /tmp/stuck");
  ASSERT_EQ(zt::sim_ctl("capture 0 add 1000 0 300").status, 0);
  dump_run dump({"-i", "kvel0", "-w", "/tmp/stuck"});
  ASSERT_TRUE(dump.caught_up());
  dump.proc.signal(SIGINT);
  ASSERT_TRUE(dump.proc.wait_output("Exiting"));
  usleep(300000);
  EXPECT_EQ(dump.proc.wait(0), -2) << "still in its stop";
  dump.proc.signal(SIGINT);
  EXPECT_EQ(dump.proc.wait(), 1);
}

TEST_F(ZorvDump, ClearAloneDiscardsTheRecordsAndWritesNoFile) {
  ASSERT_EQ(zt::sim_ctl("capture 0 add 80 0 4").status, 0);
  unlink("/tmp/none.pcapng");
  dump_run clear({"-i", "kvel0", "-r"});
  EXPECT_EQ(clear.proc.wait(), 0) << clear.proc.output();
  EXPECT_EQ(capture_field(0, "rd"), capture_field(0, "wr"));
  dump_run dump({"-i", "kvel0", "-w", "/tmp/none.pcapng"});
  ASSERT_TRUE(dump.started());
  usleep(200000);
  EXPECT_EQ(dump.interrupt(), 0);
  EXPECT_EQ(count_frames("/tmp/none.pcapng"), 0);
}

// Command lines that end the tool before anything is opened, or with checks that fail
// before the output file is touched: an existing file at the path keeps its bytes.
struct refusal {
  const char* name;
  std::vector<std::string> args;  // after -d, except where -d itself is the point
  std::vector<std::string> ctl;   // a card state to set first
  std::vector<std::string> undo;
  const char* message;
  bool with_device = true;
};

const refusal REFUSALS[] = {
    {"nine_interfaces",
     {"-w", "/tmp/kept", "-i", "kvel0", "-i", "kvel0", "-i", "kvel0", "-i", "kvel0", "-i", "kvel0",
      "-i", "kvel0", "-i", "kvel0", "-i", "kvel0", "-i", "kvel0"},
     {}, {}, "Too many arguments"},
    {"format_in_capitals", {"-w", "/tmp/kept", "-i", "kvel0", "-F", "PCAP"}, {}, {},
     "Unknown format PCAP"},
    {"no_device", {"-w", "/tmp/kept", "-i", "kvel0"}, {}, {},
     "Require device filename", false},
    {"no_output", {"-i", "kvel0"}, {}, {}, "Require output file"},
    {"no_interface", {"-w", "/tmp/kept"}, {}, {}, "No interface provided"},
    {"extra_argument", {"-w", "/tmp/kept", "-i", "kvel0", "more"}, {}, {},
     "Unknown argument"},
    {"linux_name", {"-w", "/tmp/kept", "-i", "lo"}, {}, {},
     "Cannot map interface lo to a zorvnic interface"},
    {"negative_port", {"-w", "/tmp/kept", "-i", "kvel-1"}, {}, {},
     "Cannot map interface kvel-1"},
    {"card_id_of_no_card", {"-w", "/tmp/kept", "-i", "kvel_1A_0"}, {}, {},
     "Cannot map interface kvel_1A_0"},
    {"port_the_device_lacks", {"-w", "/tmp/kept", "-i", "kvel5"}, {}, {},
     "Cannot map interface kvel5"},
    {"alignment_zero", {"-w", "/tmp/kept", "-i", "kvel0"}, {"capture 0 set 3 0"},
     {"capture 0 set 3 64"}, "below 11"},
    {"alignment_ten", {"-w", "/tmp/kept", "-i", "kvel0"}, {"capture 0 set 3 10"},
     {"capture 0 set 3 64"}, "below 11"},
    {"read_position_outside_the_ring", {"-w", "/tmp/kept", "-i", "kvel0"},
     {"capture 0 set 10 0x7000000000"}, {"capture 0 seek 0"}, "outside the ring"},
    {"reader_role_refused", {"-w", "/tmp/kept", "-i", "kvel0"}, {"capture 0 deny on"},
     {"capture 0 deny off"}, "refused the reader role"},
    {"write_position_outside_the_ring", {"-w", "/tmp/kept", "-i", "kvel0"},
     {"capture 0 set 1 0", "capture 0 set 12 0x7000000000"},
     {"capture 0 seek 0", "capture 0 set 1 1"},
     "Capture write position 481036337152 outside the ring of 16777216 bytes"},
    {"missing_node", {"-d", "/dev/zorvnic_9", "-w", "/tmp/kept", "-i", "kvel0"}, {}, {},
     "Cannot open driver name /dev/zorvnic_9: No such file or directory\n", false},
    {"major_version_1", {"-w", "/tmp/kept", "-i", "kvel0"}, {"capture 0 set 0 0x10000"},
     {"capture 0 set 0 0"}, "Error version major 0 expected, 1 found"},
};

class ZorvDumpRefuses : public ZorvDump, public ::testing::WithParamInterface<refusal> {};

// Every refusal is said on standard error only.
TEST_P(ZorvDumpRefuses, WithStatusOneAndTheOutputUntouched) {
  const refusal& r = GetParam();
  ASSERT_EQ(zt::run("printf keep > /tmp/kept").status, 0);
  for (const std::string& c : r.ctl) ASSERT_EQ(zt::sim_ctl(c).status, 0) << c;
  std::vector<std::string> argv{DUMP};
  if (r.with_device) argv.insert(argv.end(), {"-d", DEV});
  argv.insert(argv.end(), r.args.begin(), r.args.end());
  child_process dump(argv, "/tmp/refusal.log");
  int status = dump.wait();
  std::string command;
  for (const std::string& a : argv) command += "'" + a + "' ";
  const zt::cmd_result stdout_only = zt::run("{ " + command + "2>/dev/null; }");
  for (const std::string& c : r.undo) zt::sim_ctl(c);
  EXPECT_EQ(status, 1);
  EXPECT_NE(dump.output().find(r.message), std::string::npos) << dump.output();
  EXPECT_EQ(stdout_only.status, 1);
  EXPECT_EQ(stdout_only.out, "") << "on standard output";
  EXPECT_EQ(zt::run("cat /tmp/kept").out, "keep");
}

INSTANTIATE_TEST_SUITE_P(Cases, ZorvDumpRefuses, ::testing::ValuesIn(REFUSALS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ZorvDump, AFullDiskEndsWithStatusOneAndTheFileWrittenUpToIt) {
  ASSERT_EQ(zt::run("mkdir -p /tmp/small && mount -t tmpfs -o size=1m tmpfs /tmp/small").status, 0);
  ASSERT_EQ(zt::sim_ctl("capture 0 add 4000 1 1500").status, 0);  // about 6 MiB of blocks
  dump_run dump({"-i", "kvel0", "-w", "/tmp/small/full.pcapng"});
  ASSERT_TRUE(dump.started());
  int status = dump.proc.wait(30);
  if (status == -2) status = dump.interrupt();
  EXPECT_EQ(status, 1) << dump.proc.output();
  EXPECT_NE(dump.proc.output().find("No space left on device"), std::string::npos);
  zt::cmd_result info = zt::run("capinfos -t -c /tmp/small/full.pcapng");
  EXPECT_NE(info.out.find("pcapng"), std::string::npos) << info.out;
  EXPECT_GT(count_frames("/tmp/small/full.pcapng"), 200);
  zt::run("umount /tmp/small");
}

TEST_F(ZorvDump, UnbufferedWritesEachBatchAtOnce) {
  dump_run dump({"-i", "kvel0", "-U", "-s", "-w", "/tmp/unbuffered.pcapng"});
  ASSERT_EQ(zt::sim_ctl("capture 0 add 90 0 3").status, 0);
  ASSERT_TRUE(wait_caught_up(0));
  int seen = 0;
  for (int i = 0; i < 200 && seen < 3; ++i, usleep(25000)) seen = count_frames("/tmp/unbuffered.pcapng");
  EXPECT_EQ(seen, 3) << "while the tool still runs";
  EXPECT_EQ(dump.interrupt(), 0);
  EXPECT_EQ(dump.proc.output().find("packets dumped"), std::string::npos) << "-s: no progress";
}

TEST_F(ZorvDump, AFifoGetsEveryRecordAndTheTail) {
  child_process reader = fifo_reader("/tmp/fifo", "cat /tmp/fifo > /tmp/fifo.pcapng");
  ASSERT_EQ(zt::sim_ctl("capture 0 add 1000 1 50").status, 0);
  dump_run dump({"-i", "kvel0", "-w", "/tmp/fifo"});
  ASSERT_TRUE(dump.caught_up());
  EXPECT_EQ(dump.interrupt(), 0);
  EXPECT_EQ(reader.wait(), 0);
  EXPECT_EQ(count_frames("/tmp/fifo.pcapng"), 50);
}

TEST_F(ZorvDump, RamfsWithoutDirectIoGetsEveryRecord) {
  ASSERT_EQ(zt::run("mkdir -p /tmp/ram && mount -t ramfs ramfs /tmp/ram").status, 0);
  ASSERT_EQ(zt::sim_ctl("capture 0 add 1400 0 4000").status, 0);  // more than one slot
  dump_run dump({"-i", "kvel0", "-s", "-w", "/tmp/ram/ram.pcapng"});
  ASSERT_TRUE(wait_caught_up(0));
  usleep(200000);
  EXPECT_EQ(dump.interrupt(), 0) << dump.proc.output();
  EXPECT_EQ(count_frames("/tmp/ram/ram.pcapng"), 4000);
  zt::run("umount /tmp/ram");
}

TEST_F(ZorvDump, ADashNamesAFileAndShowsNoProgress) {
  ASSERT_EQ(zt::sim_ctl("capture 0 add 64 0 2").status, 0);
  ASSERT_EQ(chdir("/tmp"), 0);
  unlink("/tmp/-");
  dump_run dump({"-i", "kvel0", "-w", "-"});
  ASSERT_TRUE(wait_caught_up(0));
  usleep(200000);
  EXPECT_EQ(dump.interrupt(), 0);
  EXPECT_EQ(dump.proc.output().find("Starting dump loop"), std::string::npos);
  EXPECT_EQ(count_frames("/tmp/-"), 2);
}

// Records the card should not have made: one of length 0 holds no frame and is skipped;
// one that still runs past the card's write position when the tool stops is left out.
// Both are reported at the end with status 1, after everything else is written.
struct bad_records {
  const char* name;
  std::vector<std::string> ctl;  // after the recording of the good records
  std::vector<int> frames;       // the good records' lengths (direction 1)
  std::string message;
  bool caught_up;  // the reader hands the card back its write position
};

class ZorvDumpBadRecords : public ZorvDump, public ::testing::WithParamInterface<bad_records> {};

const bad_records BAD_RECORDS[] = {
    {"length_zero",
     {"capture 0 add 0 0 3", "capture 0 add 100 1 1", "capture 0 add 0 1 1",
      "capture 0 add 61 1 1"},
     {100, 61},
     "Skipped 4 capture records of length 0 on kvel0\n",
     true},
    {"past_the_write_position",
     {"capture 0 add 100 1 1", "capture 0 add 200 1 1", "capture 0 set 1 0",
      "capture 0 set 12 292"},
     {100},
     "Left out 100 bytes of a capture record on kvel0 that runs past the card's write position\n",
     false},
};

TEST_P(ZorvDumpBadRecords, AreLeftOutAndReported) {
  const bad_records& c = GetParam();
  const long before = std::stol(capture_field(0, "records"));
  for (const std::string& cmd : c.ctl) ASSERT_EQ(zt::sim_ctl(cmd).status, 0) << cmd;
  dump_run dump({"-i", "kvel0", "-w", "/tmp/bad.pcapng"});
  ASSERT_TRUE(dump.started()) << dump.proc.output();
  if (c.caught_up) {
    ASSERT_TRUE(wait_caught_up(0));
  } else {
    // What the complete records took is handed back; the rest stays the card's.
    for (int i = 0; i < 400 && capture_field(0, "rd") != "192"; ++i) usleep(25000);
    ASSERT_EQ(capture_field(0, "rd"), "192");
  }
  EXPECT_EQ(dump.interrupt(), 1);
  EXPECT_NE(dump.proc.output().find(c.message), std::string::npos) << dump.proc.output();
  EXPECT_EQ(count_frames("/tmp/bad.pcapng"), int(c.frames.size())) << "as tshark reads it";
  const auto blocks = read_blocks("/tmp/bad.pcapng");
  expect_file_head(blocks, {"kvel0"});
  const auto records = ctl_blocks(blocks);
  ASSERT_EQ(records.size(), c.frames.size());
  // The serial numbers count every record the card made, the bad ones too.
  long serial = before;
  size_t next = 0;
  for (const std::string& cmd : c.ctl) {
    int len = 0, dir = 0, count = 1;
    if (sscanf(cmd.c_str(), "capture 0 add %d %d %d", &len, &dir, &count) < 2) continue;
    for (int i = 0; i < count; ++i, ++serial) {
      if (len == 0 || next == c.frames.size()) continue;
      SCOPED_TRACE(serial);
      expect_record(records[next++], ctl_frame(len, serial), zdump::EPB_FLAG_OUTBOUND);
    }
  }
  EXPECT_EQ(next, c.frames.size());
}

INSTANTIATE_TEST_SUITE_P(Cases, ZorvDumpBadRecords, ::testing::ValuesIn(BAD_RECORDS),
                         [](const auto& info) { return std::string(info.param.name); });

// A card that goes wrong while the tool runs ends it with status 1 and a closed file of
// the records read before: a refused DMA, or a write position that leaves the ring
// (which would otherwise have the tool read the ring round and round).
struct run_fault {
  const char* name;
  std::vector<std::string> ctl;
  const char* message;
};

const run_fault RUN_FAULTS[] = {
    {"refused_dma", {"capture 0 fail-dma", "capture 0 add 120 0 1"}, "Error dump_do_dma\n"},
    {"write_position_outside_the_ring", {"capture 0 set 1 0", "capture 0 set 12 16777216"},
     "Capture write position 16777216 outside the ring of 16777216 bytes\nError dump_do_dma\n"},
};

class ZorvDumpRunFaults : public ZorvDump, public ::testing::WithParamInterface<run_fault> {};

TEST_P(ZorvDumpRunFaults, EndWithStatusOneAndAClosedFile) {
  const run_fault& c = GetParam();
  ASSERT_EQ(zt::sim_ctl("capture 0 add 120 0 3").status, 0);
  dump_run first({"-i", "kvel0", "-w", "/tmp/before.pcapng"});
  ASSERT_TRUE(first.caught_up());
  for (const std::string& cmd : c.ctl) ASSERT_EQ(zt::sim_ctl(cmd).status, 0) << cmd;
  EXPECT_EQ(first.proc.wait(), 1);
  zt::sim_ctl("capture 0 seek 0");
  EXPECT_NE(first.proc.output().find(c.message), std::string::npos) << first.proc.output();
  EXPECT_EQ(capinfos_type("/tmp/before.pcapng"), "Wireshark/... - pcapng");
  EXPECT_EQ(count_frames("/tmp/before.pcapng"), 3) << "the records read before the error";
  EXPECT_EQ(ctl_blocks(read_blocks("/tmp/before.pcapng")).size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ZorvDumpRunFaults, ::testing::ValuesIn(RUN_FAULTS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
