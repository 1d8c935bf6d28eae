// The hardware TCP session's packet socket and set-up: the daemon's hand-off (message,
// descriptor, the drop filter that keeps the handed socket blind, the time limit of the
// client), unprivileged processes with and without the server, a control segment that
// the Linux peer answers, and the set-up's failure paths.
#include <gtest/gtest.h>
#include <dirent.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fiber_fixture.h"
#include "netinfo.h"
#include "pf_packet_fd_server.h"
#include "tcp/tcp_pkt_if.h"
#include "tcp/tcp_pkt_sock.h"
#include "tcp_wire_fixture.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t PEER_IP = 0xC6120002;  // 198.18.0.2, wire0 in the peer
constexpr uint16_t PEER_PORT = 7000;
constexpr uid_t NOBODY = 65534;
// The group of the server's clients: nobody's own group, so that a process that has
// become nobody is served.
constexpr char HANDOFF_GROUP[] = "nogroup";
constexpr gid_t STAFF = 50;  // any group but the server's

int open_fds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

// A packet socket bound to kvel0 for every protocol.
bool bind_all(int fd) {
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_protocol = htons(ETH_P_ALL);
  addr.sll_ifindex = int(if_nametoindex("kvel0"));
  return bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// Frames waiting on fd, read without blocking.
int drain(int fd) {
  char buf[2048];
  int n = 0;
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++n;
  return n;
}

// Datagrams both ways through the kernels of host and peer, over kvel0.
void send_kernel_traffic() {
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = htonl(PEER_IP);
  for (int i = 0; i < 5; ++i)
    sendto(udp, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(udp);
  const std::string peer_send =
      "python3 -c \"import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
      "[s.sendto(b'y', ('198.18.0.1', 9)) for i in range(5)]\"";
  EXPECT_EQ(zt::peer_run(peer_send).status, 0);
  std::this_thread::sleep_for(200ms);
}

// What a server at the hand-off path sends: data and one descriptor.
void send_handoff(int conn, const char* text, int fd) {
  kvel::send_with_descriptor(conn, text, strlen(text), fd);
}

// Runs body in a child that has first given up rights with drop (exit status 100 when
// that fails); the child's exit status, or -1.
template <typename D, typename F>
int in_child(D drop, F body) {
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) _exit(drop() ? body() : 100);
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Root given up, and with it CAP_NET_RAW.
bool become_nobody() {
  return setgroups(0, nullptr) == 0 && setresgid(NOBODY, NOBODY, NOBODY) == 0 &&
         setresuid(NOBODY, NOBODY, NOBODY) == 0;
}

// Still root, but without CAP_NET_RAW in any set, as setpriv leaves a process.
bool drop_net_raw() {
  __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps[2]{};
  if (syscall(SYS_capget, &hdr, caps) != 0 || prctl(PR_CAPBSET_DROP, CAP_NET_RAW) != 0) return false;
  const uint32_t bit = 1u << (CAP_NET_RAW % 32);
  __user_cap_data_struct& c = caps[CAP_NET_RAW / 32];
  c.effective &= ~bit;
  c.permitted &= ~bit;
  c.inheritable &= ~bit;
  return syscall(SYS_capset, &hdr, caps) == 0;
}

// nobody outside the server's group: its own group staff's, no supplementary ones.
bool become_outsider() {
  return setgroups(0, nullptr) == 0 && setresgid(STAFF, STAFF, STAFF) == 0 &&
         setresuid(NOBODY, NOBODY, NOBODY) == 0;
}

// nobody with the server's group as a supplementary group only.
bool become_member() {
  const gid_t groups[] = {NOBODY};
  return setgroups(1, groups) == 0 && setresgid(STAFF, STAFF, STAFF) == 0 &&
         setresuid(NOBODY, NOBODY, NOBODY) == 0;
}

// An outsider that may open any file, so that only the server's own check stands
// between it and a packet socket.
bool become_outsider_past_file_modes() {
  if (prctl(PR_SET_KEEPCAPS, 1) != 0 || !become_outsider()) return false;
  __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps[2]{};
  caps[0].effective = caps[0].permitted = 1u << CAP_DAC_OVERRIDE;
  return syscall(SYS_capset, &hdr, caps) == 0;
}

template <typename F>
int as_nobody(F body) {
  return in_child(become_nobody, body);
}
template <typename F>
int without_net_raw(F body) {
  return in_child(drop_net_raw, body);
}

class TcpHwSession : public testing::Test {
 protected:
  std::unique_ptr<zorvd::pf_packet_fd_server> server_;
  vyxtcp::tcp_hw_session s_;  // released after every test, whatever it left behind

  void TearDown() override { s_.release(); }

  void SetUp() override {
    ZT_REQUIRE_LAUNCHED();
    const group* g = getgrnam(HANDOFF_GROUP);
    if (!g || g->gr_gid != NOBODY) GTEST_SKIP() << "this host has no group nogroup of gid 65534";
    server_ = std::make_unique<zorvd::pf_packet_fd_server>(HANDOFF_GROUP);
    ASSERT_TRUE(server_->running());
  }
};

// Exactly one message: the 8 bytes "pfpacket" and one SCM_RIGHTS descriptor of a raw
// packet socket, then end of file. The socket file lets root and the group connect.
TEST_F(TcpHwSession, HandOffMessageIsEightBytesAndOneDescriptor) {
  EXPECT_STREQ(kvel::PKT_HANDOFF_PATH, "/tmp/vyx_zorvnic_daemon_uds0");  // the daemon's contract
  struct stat st{};
  ASSERT_EQ(stat(kvel::PKT_HANDOFF_PATH, &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, NOBODY);

  const int conn = socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un addr = kvel::pkt_handoff_address();
  ASSERT_EQ(connect(conn, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  char data[64];
  alignas(cmsghdr) char control[256];
  iovec iov{data, sizeof data};
  msghdr msg = kvel::one_buffer_message(&iov, control, sizeof control);
  ASSERT_EQ(recvmsg(conn, &msg, 0), 8);
  EXPECT_EQ(std::string(data, 8), "pfpacket");
  EXPECT_EQ(msg.msg_controllen, CMSG_SPACE(sizeof(int)));
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->cmsg_len, CMSG_LEN(sizeof(int)));
  EXPECT_EQ(c->cmsg_level, SOL_SOCKET);
  EXPECT_EQ(c->cmsg_type, SCM_RIGHTS);
  EXPECT_EQ(CMSG_NXTHDR(&msg, c), nullptr);
  int fd;
  memcpy(&fd, CMSG_DATA(c), sizeof fd);
  EXPECT_TRUE(kvel::is_raw_packet_socket(fd));
  // Protocol 0 and not bound: the receiver binds it to its interface and protocol.
  int protocol = -1;
  socklen_t len = sizeof protocol;
  EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len), 0);
  EXPECT_EQ(protocol, 0);
  sockaddr_ll bound{};
  len = sizeof bound;
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len), 0);
  EXPECT_EQ(bound.sll_ifindex, 0);
  EXPECT_EQ(msg.msg_flags & MSG_CTRUNC, 0);
  EXPECT_EQ(recv(conn, data, sizeof data, 0), 0);
  close(fd);
  close(conn);
}

// Two clients get two different sockets; the server stops cleanly and removes its file.
TEST_F(TcpHwSession, EveryClientGetsItsOwnSocketAndStopRemovesFile) {
  const int a = kvel::receive_handed_packet_socket();
  const int b = kvel::receive_handed_packet_socket();
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  struct stat sa{}, sb{};
  fstat(a, &sa);
  fstat(b, &sb);
  EXPECT_NE(sa.st_ino, sb.st_ino);
  close(a);
  close(b);
  server_.reset();
  EXPECT_NE(access(kvel::PKT_HANDOFF_PATH, F_OK), 0);
  EXPECT_EQ(kvel::receive_handed_packet_socket(), -1);
}

// A socket file left behind by a daemon that was killed does not stop the next start;
// a path that cannot be bound leaves the server not running, and it stops all the same.
TEST_F(TcpHwSession, StaleSocketFileAndUnusablePath) {
  server_.reset();
  const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un addr = kvel::pkt_handoff_address();
  ASSERT_EQ(bind(stale, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  close(stale);
  server_ = std::make_unique<zorvd::pf_packet_fd_server>(HANDOFF_GROUP);
  EXPECT_TRUE(server_->running());
  const int fd = kvel::receive_handed_packet_socket();
  EXPECT_GE(fd, 0);
  close(fd);
  server_.reset();

  ASSERT_EQ(mkdir(kvel::PKT_HANDOFF_PATH, 0700), 0);
  server_ = std::make_unique<zorvd::pf_packet_fd_server>(HANDOFF_GROUP);
  EXPECT_FALSE(server_->running());
  server_.reset();
  EXPECT_EQ(rmdir(kvel::PKT_HANDOFF_PATH), 0);
}

// The handed socket, bound for every protocol, sees none of the traffic that an
// unfiltered socket on the same interface sees, and its filter cannot be taken off.
TEST_F(TcpHwSession, HandedSocketReceivesNothing) {
  const int handed = kvel::receive_handed_packet_socket();
  ASSERT_GE(handed, 0);
  const int open = socket(AF_PACKET, SOCK_RAW, 0);
  ASSERT_TRUE(bind_all(handed));
  ASSERT_TRUE(bind_all(open));
  send_kernel_traffic();
  EXPECT_GT(drain(open), 0);
  EXPECT_EQ(drain(handed), 0);
  int dummy = 0;
  EXPECT_NE(setsockopt(handed, SOL_SOCKET, SO_DETACH_FILTER, &dummy, sizeof dummy), 0);
  close(open);
  close(handed);
}

// A daemon that accepts but never answers costs a client the time limit, not its life.
TEST_F(TcpHwSession, SilentServerEndsInTimeLimit) {
  server_.reset();
  const int silent = socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un addr = kvel::pkt_handoff_address();
  ASSERT_EQ(bind(silent, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(silent, 4), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kvel::receive_handed_packet_socket(), -1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 10s);
  close(silent);
  unlink(kvel::PKT_HANDOFF_PATH);
}

// Another program at the socket path: a message that is not the hand-off, or a
// descriptor that is not a raw packet socket, gives no socket and leaks no descriptor.
TEST_F(TcpHwSession, ForeignMessageGivesNoSocket) {
  server_.reset();
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un addr = kvel::pkt_handoff_address();
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const int packet = socket(AF_PACKET, SOCK_RAW, 0);
  struct foreign_case {
    const char* data;
    int fd;
  };
  const int before = open_fds();
  for (const foreign_case& c : {foreign_case{"pfpacket", pipe_fds[0]},
                                foreign_case{"pfpackex", packet}, foreign_case{"pfpack", packet}}) {
    std::thread fake([&] {
      const int conn = accept(listener, nullptr, nullptr);
      send_handoff(conn, c.data, c.fd);
      close(conn);
    });
    EXPECT_EQ(kvel::receive_handed_packet_socket(), -1) << c.data;
    fake.join();
    EXPECT_EQ(open_fds(), before) << c.data;
  }
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  close(packet);
  close(listener);
  unlink(kvel::PKT_HANDOFF_PATH);
}

// A server at the hand-off path in a child: bound and listening (backlog), then, with
// a descriptor to send, it hands that to its first client; it gives up root first when
// as_nobody. It listens until stop; its socket file stays.
struct fake_server {
  pid_t pid = -1;
  int hold[2] = {-1, -1};

  fake_server(bool as_nobody, int backlog, int fd_to_send) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(hold) != 0) return;
    fflush(stdout);
    pid = fork();
    if (pid == 0) _exit(serve(as_nobody, backlog, fd_to_send, ready[1]));
    close(ready[1]);
    close(hold[0]);
    char c;
    if (read(ready[0], &c, 1) != 1) pid = -1;
    close(ready[0]);
  }
  ~fake_server() { stop(); }
  void stop() {
    if (hold[1] >= 0) close(hold[1]);
    hold[1] = -1;
    if (pid > 0) waitpid(pid, nullptr, 0);
    pid = -1;
  }
  int serve(bool as_nobody, int backlog, int fd_to_send, int ready) {
    close(hold[1]);
    const int l = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un addr = kvel::pkt_handoff_address();
    if ((as_nobody && !become_nobody()) ||
        bind(l, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(l, backlog) != 0)
      return 1;
    if (write(ready, "r", 1) != 1) return 1;
    if (fd_to_send >= 0) {
      const int conn = accept(l, nullptr, nullptr);
      send_handoff(conn, "pfpacket", fd_to_send);
      close(conn);
    }
    char c;
    return read(hold[0], &c, 1) < 0 ? 1 : 0;
  }
};

// Anybody may listen on the path before the daemon: a client takes a packet socket only
// from a server that runs as root, whatever it is sent.
TEST_F(TcpHwSession, ClientTakesPacketSocketsFromRootServersOnly) {
  server_.reset();
  const int packet = socket(AF_PACKET, SOCK_RAW, 0);
  ASSERT_GE(packet, 0);
  const int before = open_fds();
  for (bool nobody : {true, false}) {
    SCOPED_TRACE(nobody ? "server of nobody" : "server of root");
    fake_server fake(nobody, 4, packet);
    ASSERT_GT(fake.pid, 0);
    const int fd = kvel::receive_handed_packet_socket();
    EXPECT_EQ(fd >= 0, !nobody);
    if (fd >= 0) close(fd);
    fake.stop();
    unlink(kvel::PKT_HANDOFF_PATH);
    EXPECT_EQ(open_fds(), before);
  }
  close(packet);
}

// Another user's server on the path does not keep the daemon's server from serving,
// not even one whose backlog is full so that it cannot be asked who it is.
TEST_F(TcpHwSession, SquatterOnThePathDoesNotStopTheServer) {
  for (bool full_backlog : {false, true}) {
    SCOPED_TRACE(full_backlog ? "full backlog" : "listening");
    server_.reset();
    fake_server squatter(true, 0, -1);
    ASSERT_GT(squatter.pid, 0);
    std::vector<int> waiting;
    const sockaddr_un addr = kvel::pkt_handoff_address();
    for (int i = 0; full_backlog && i < 8; ++i) {
      const int c = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
      waiting.push_back(c);
      if (connect(c, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) break;
    }
    testing::internal::CaptureStdout();
    server_ = std::make_unique<zorvd::pf_packet_fd_server>(HANDOFF_GROUP);
    fflush(stdout);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "kvel: /tmp/vyx_zorvnic_daemon_uds0 was served by a process that is not root, "
                  "taking it over\n"),
              std::string::npos);
    EXPECT_TRUE(server_->running());
    const int fd = kvel::receive_handed_packet_socket();
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    for (int c : waiting) close(c);
    squatter.stop();
  }
}

// Root and the group's members are served, by their own group or a supplementary one;
// anybody else gets nothing, and past the file's permissions the server refuses and
// says so.
TEST_F(TcpHwSession, OnlyRootAndTheGroupAreServed) {
  struct access_case {
    const char* name;
    bool (*drop)();
    bool served;
    bool logged;
  };
  const access_case CASES[] = {
      {"own_group", become_nobody, true, false},
      {"supplementary_group", become_member, true, false},
      {"outsider", become_outsider, false, false},
      {"outsider_past_file_modes", become_outsider_past_file_modes, false, true},
  };
  for (const access_case& c : CASES) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStdout();
    const int rc = in_child(c.drop, [] {
      const int fd = kvel::receive_handed_packet_socket();
      return fd >= 0 && kvel::is_raw_packet_socket(fd) ? 0 : 1;
    });
    fflush(stdout);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, c.served ? 0 : 1);
    EXPECT_EQ(log.find("(uid 65534): neither root nor in group nogroup\n") != std::string::npos,
              c.logged) << log;
  }
}

// A process that may not make packet sockets gets one from the server, and none (with
// the set-up's message) when no server runs.
TEST_F(TcpHwSession, UnprivilegedProcessNeedsTheServer) {
  auto open_as_nobody = [] {
    if (socket(AF_PACKET, SOCK_RAW, 0) >= 0) return 2;  // still privileged
    vyxtcp::tcp_hw_session s;
    const int rc = s.open_packet_socket("kvel0");
    const bool ok = rc == 0 && s.pkt_fd_ >= 0 && kvel::is_raw_packet_socket(s.pkt_fd_);
    s.release();
    return ok ? 0 : 1;
  };
  EXPECT_EQ(as_nobody(open_as_nobody), 0);
  server_.reset();
  testing::internal::CaptureStdout();
  EXPECT_EQ(as_nobody(open_as_nobody), 1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Could not init PF_PACKET on kvel0"),
            std::string::npos);
}

// The SYN of send_control_segment, from a session set up like a connection's, that the
// peer's kernel answers with a SYN-ACK for ISN + 1.
int send_syn(uint16_t local_port, uint32_t isn) {
  vyxtcp::tcp_hw_session s;
  vyxtcp::tcp_tx_desc d{};
  d.remote_port = PEER_PORT;
  d.local_port = local_port;
  d.remote_ip = PEER_IP;
  d.seq = isn;
  d.window = 65000;
  d.tcp_flags = 0x02;
  d.ttl = 64;
  d.slot_hdr = 5;
  int rc = 3;
  if (s.init_local_ip("kvel0") != 0 || s.open_packet_socket("kvel0") != 0)
    rc = 1;
  else if (kvel::resolve_neighbour_mac(PEER_IP, "kvel0", d.next_hop_mac) != 0)
    rc = 2;
  else if (s.send_control_segment(nullptr, 0, &d) == 54)
    rc = 0;
  s.release();
  return rc;
}

// What the peer's capture tool reports for `mode` ("synack" or "syn") while sender
// sends the SYN from local_port.
std::string peer_capture(const char* mode, uint16_t local_port, int (*sender)(uint16_t)) {
  const std::string here = __FILE__;
  const std::string tool =
      "python3 " + here.substr(0, here.rfind("/card/")) + "/support/tcp_peer_syn.py";
  const std::string ready = "/tmp/tcp_peer_ready." + std::to_string(local_port);
  unlink(ready.c_str());
  zt::cmd_result peer{-1, {}};
  std::thread job([&] {
    peer = zt::peer_run(tool + " " + mode + " wire0 0.0.0.0 " + std::to_string(PEER_PORT) + " " +
                        std::to_string(local_port) + " " + ready + " 5");
  });
  for (int i = 0; i < 200 && access(ready.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(25ms);
  EXPECT_EQ(sender(local_port), 0);
  job.join();
  unlink(ready.c_str());
  return peer.out;
}

constexpr uint32_t ISN = 123456789;

TEST_F(TcpHwSession, ControlSegmentDrawsSynAckFromPeer) {
  const std::string out =
      peer_capture("synack", 40001, [](uint16_t port) { return send_syn(port, ISN); });
  EXPECT_EQ(out, "synack " + std::to_string(ISN + 1) + "\n");
}

TEST_F(TcpHwSession, HandedSocketSendsForUnprivilegedProcess) {
  const std::string out = peer_capture("synack", 40002, [](uint16_t port) {
    return as_nobody([port] { return send_syn(port, ISN); });
  });
  EXPECT_EQ(out, "synack " + std::to_string(ISN + 1) + "\n");
}

// A process that stays root but has no CAP_NET_RAW opens a whole connection to the
// peer's kernel through the server's packet socket: handshake, data and both FINs.
// Without the server its connect fails in the set-up, with the set-up's message.
TEST_F(TcpHwSession, ConnectionWithoutNetRawNeedsTheServer) {
  ASSERT_EQ(zt::sim_ctl("fiber-set 0 14 " + std::to_string(zt::HOST_IP)).status, 0);
  const int lfd = zt::peer_tcp_listener(7010);
  ASSERT_GE(lfd, 0);
  size_t got = 0;
  std::string event;
  std::thread peer([&] {
    const int conn = accept(lfd, nullptr, nullptr);
    if (conn < 0) return;
    zt::set_receive_timeout(conn, 5);
    got = zt::peer_receive_pattern(conn, 1000);
    event = zt::peer_next_event(conn);
    close(conn);
  });
  auto connect_once = [] {
    if (socket(AF_PACKET, SOCK_RAW, 0) >= 0) return 2;  // still privileged
    zt::handle_ptr c;
    const int rc = zorvsock_tcp_connect(c.h, "kvel0", 0, zt::PEER_IP, 7010);
    if (rc != 0) return 10 - rc;
    if (zt::wait_state(c.h, ZORVSOCK_TCP_ESTABLISHED) != ZORVSOCK_TCP_ESTABLISHED) return 3;
    if (zt::send_pattern(c.h, 1000) != 1000) return 4;
    zorvsock_tcp_disconnect(c.h);
    return zt::wait_state(c.h, ZORVSOCK_TCP_TIME_WAIT) == ZORVSOCK_TCP_TIME_WAIT ? 0 : 5;
  };
  EXPECT_EQ(without_net_raw(connect_once), 0);
  peer.join();
  close(lfd);
  EXPECT_EQ(got, 1000u);
  EXPECT_EQ(event, "eof");

  server_.reset();
  testing::internal::CaptureStdout();
  EXPECT_EQ(without_net_raw(connect_once), 11);  // -1 from the set-up
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Could not init PF_PACKET on kvel0"),
            std::string::npos);
}

// Set-up failures that come before the device is opened leave no device descriptor,
// and a repeated set-up gives back what the failed one held.
TEST_F(TcpHwSession, InitFailsBeforeDeviceWithoutRouteOrNeighbour) {
  auto& s = s_;
  EXPECT_EQ(s.init("nosuch0", PEER_IP, PEER_PORT, 40003, 0, 64), -1);
  EXPECT_EQ(s.pkt_fd_, -1);
  // The card port exists, the kernel interface does not.
  testing::internal::CaptureStdout();
  EXPECT_EQ(s.init("kvel0.999", PEER_IP, PEER_PORT, 40003, 0, 64), -1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" tcp/tcp_pkt_if:init_local_ip():"), std::string::npos) << out;
  EXPECT_NE(out.find("Cannot use network interface kvel0.999\n\n"), std::string::npos) << out;
  EXPECT_EQ(s.pkt_fd_, -1);
  EXPECT_EQ(s.if_info_, nullptr);  // not kept for the next try, which builds its own
  struct route_case {
    uint32_t remote;
    const char* what;
  };
  const int before = open_fds();
  for (const route_case& c : {route_case{0xCB007105, "203.0.113.5, no route"},
                              route_case{0xC612004D, "198.18.0.77, no neighbour"}}) {
    EXPECT_EQ(s.init("kvel0", c.remote, PEER_PORT, 40003, 0, 64), -113) << c.what;
    EXPECT_EQ(s.dev_fd_, -1) << c.what;
    EXPECT_GE(s.pkt_fd_, 0) << c.what;
    EXPECT_EQ(s.local_ip_, 0xC6120001u);
    EXPECT_EQ(s.fiber_, 0);
    EXPECT_EQ(s.ifname_, "kvel0");
  }
  EXPECT_EQ(open_fds(), before + 1);  // the packet socket of the last try only
  s.release();
  EXPECT_EQ(s.pkt_fd_, -1);
  EXPECT_EQ(open_fds(), before);
}

// A whole set-up on the simulator's card: a TCP session bound to the connection with
// its ring, window and feedback page, on kvel0 and on a VLAN sub-interface (a macvlan
// stands in for kvel0.100 on this kernel, and the test fills the card's VLAN table).
class TcpHwSessionInit : public TcpHwSession {
 protected:
  static inline bool vlan_ready_ = false;

  static void SetUpTestSuite() {
    if (!zt::launched()) return;
    const std::string link = zt::peer_run("ip -o link show wire0").out;
    const size_t at = link.find("link/ether ");
    vlan_ready_ = at != std::string::npos &&
                  zt::run("ip link add link kvel0 name kvel0.100 type macvlan mode bridge && "
                          "ip addr add 198.18.100.1/24 dev kvel0.100 && "
                          "ip link set kvel0.100 up && ip neigh replace 198.18.100.2 lladdr " +
                          link.substr(at + 11, 17) + " dev kvel0.100 nud permanent")
                          .status == 0;
    zt::fiber_set(0, 16, uint64_t(200) << 32 | 0xC612C801);  // slot 1: VLAN 200
    zt::fiber_set(0, 17, uint64_t(100) << 32 | 0xC6126401);  // slot 2: VLAN 100
  }
  static void TearDownTestSuite() { zt::run("ip link del kvel0.100"); }

  // init's result with its output.
  int init(vyxtcp::tcp_hw_session& s, const char* ifname, uint32_t remote, std::string* out) {
    testing::internal::CaptureStdout();
    const int rc = s.init(ifname, remote, PEER_PORT, 40020, 0, 64);
    *out = testing::internal::GetCapturedStdout();
    return rc;
  }
};

TEST_F(TcpHwSessionInit, SetsUpTheWholeSession) {
  const int before = open_fds();
  auto& s = s_;
  std::string out;
  const int rc = init(s, "kvel0", PEER_IP, &out);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(s.local_ip_, 0xC6120001u);
  EXPECT_EQ(s.next_hop_, PEER_IP);
  EXPECT_EQ(s.ifindex_, if_nametoindex("kvel0"));
  EXPECT_EQ(s.vlan_slot_, 0);
  EXPECT_EQ(s.vlan_id_, 0u);
  EXPECT_EQ(s.remote_port_, PEER_PORT);
  EXPECT_EQ(s.local_port_, 40020);
  EXPECT_EQ(s.ttl_, 64);
  uint8_t mac[6];
  ASSERT_EQ(kvel::get_if_mac("kvel0", mac), 0);
  EXPECT_EQ(memcmp(s.src_mac_, mac, 6), 0);
  ASSERT_NE(s.reg_, nullptr);
  EXPECT_EQ((kvel::mmio_read64(s.reg_, 0) >> 24) & 0xFF, uint64_t('U'));
  EXPECT_EQ(s.control_, 0x13u);
  EXPECT_EQ(s.rx_dma_.size_, 16 << 20);
  EXPECT_NE(s.tx_pio_.tx_pio_mem_, nullptr);
  EXPECT_NE(s.tx_pio_.fdb_, nullptr);
  EXPECT_TRUE(kvel::is_raw_packet_socket(s.pkt_fd_));
  s.release();
  EXPECT_EQ(s.dev_fd_, -1);
  EXPECT_EQ(s.pkt_fd_, -1);
  EXPECT_EQ(s.reg_, nullptr);
  EXPECT_EQ(s.if_info_, nullptr);
  EXPECT_EQ(open_fds(), before);
}

// kvel0.100: device and port from kvel0, slot 2 from the card's table, addresses from
// the sub-interface; control segments carry the 802.1Q tag of VLAN 100.
TEST_F(TcpHwSessionInit, VlanSubInterfaceTakesItsSlot) {
  if (!vlan_ready_) GTEST_SKIP() << "no macvlan interface to stand in for kvel0.100";
  auto& s = s_;
  std::string out;
  const int rc = init(s, "kvel0.100", 0xC6126402, &out);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(s.fiber_, 0);
  EXPECT_EQ(s.ifname_, "kvel0.100");
  EXPECT_EQ(s.vlan_id_, 100u);
  EXPECT_EQ(s.vlan_slot_, 2);
  EXPECT_EQ(s.local_ip_, 0xC6126401u);
  EXPECT_EQ(s.ifindex_, if_nametoindex("kvel0.100"));
  s.release();
}

// A VLAN that the card's table does not hold fails after the device is opened and the
// session allocated; release gives it all back.
TEST_F(TcpHwSessionInit, UnknownVlanFailsAfterAllocation) {
  if (!vlan_ready_) GTEST_SKIP() << "no macvlan interface to stand in for kvel0.100";
  zt::fiber_set(0, 17, 0);
  auto& s = s_;
  std::string out;
  const int rc = init(s, "kvel0.100", 0xC6126402, &out);
  zt::fiber_set(0, 17, uint64_t(100) << 32 | 0xC6126401);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(out.find("Allocating VLAN session failed"), std::string::npos) << out;
  EXPECT_GE(s.dev_fd_, 0);
  EXPECT_NE(s.reg_, nullptr);
  s.release();
  EXPECT_EQ(s.dev_fd_, -1);
}

// register_listener hands the driver the port index, address and port in network
// order and the VLAN id; the simulator accepts it on a fresh descriptor.
TEST_F(TcpHwSessionInit, ListenerRegistration) {
  const int fd = kvel::kvel_dev_open("/dev/zorvnic_0");
  ASSERT_GE(fd, 0);
  const int rc = vyxtcp::register_listener(fd, 0, 7100, 0xC6120001, 0);
  EXPECT_EQ(rc, 0) << "the simulator refused the listener: " << strerror(errno);
  kvel::kvel_dev_close(fd);
}

// A control segment of a VLAN session leaves with the 802.1Q tag of its VLAN.
TEST_F(TcpHwSessionInit, VlanControlSegmentIsTagged) {
  if (!vlan_ready_) GTEST_SKIP() << "no macvlan interface to stand in for kvel0.100";
  std::string out;
  const int rc = init(s_, "kvel0.100", 0xC6126402, &out);
  ASSERT_EQ(rc, 0) << out;
  static vyxtcp::tcp_hw_session* session;
  session = &s_;
  const std::string seen = peer_capture("syn", 40020, [](uint16_t port) {
    vyxtcp::tcp_tx_desc d{};
    d.remote_port = PEER_PORT;
    d.local_port = port;
    d.remote_ip = session->remote_ip_;
    memcpy(d.next_hop_mac, session->next_hop_mac_, 6);
    d.seq = ISN;
    d.tcp_flags = 0x02;
    d.ttl = 64;
    d.slot_hdr = uint8_t(session->vlan_slot_ << 4 | 5);
    return session->send_control_segment(nullptr, 0, &d) == 58 ? 0 : 1;
  });
  EXPECT_EQ(seen, "syn vlan 100 seq " + std::to_string(ISN) + "\n");
}

}  // namespace
