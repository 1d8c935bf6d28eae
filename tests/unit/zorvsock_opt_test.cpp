// The option table of the handle, and the text helpers of the API.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>

#include "netinfo.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

struct HandleTest : ::testing::Test {
  zorvsock_handle* h = zorvsock_acquire_handle();
  void TearDown() override { zorvsock_release_handle(h); }

  int get(int id, uint32_t* out, int width) {
    *out = 0;
    return zorvsock_get_opt(h, id, out, &width);
  }
  int set(int id, uint32_t value, int width) { return zorvsock_set_opt(h, id, &value, width); }
};

TEST_F(HandleTest, FreshHandleDefaults) {
  uint32_t v;
  EXPECT_EQ(h->kind, HANDLE_NONE);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(h) % 64, 0u);
  EXPECT_EQ(get(ZORVSOCK_OPT_LOCAL_IP, &v, 4), -107);
  EXPECT_EQ(get(ZORVSOCK_OPT_RX_BUFFER, &v, 4), 0);
  EXPECT_EQ(v, 2048u);
  EXPECT_EQ(get(ZORVSOCK_OPT_TTL, &v, 1), 0);
  EXPECT_EQ(v, kvel::get_default_ttl());
  EXPECT_EQ(get(ZORVSOCK_OPT_MULTICAST_TTL, &v, 1), 0);
  EXPECT_EQ(v, 1u);
}

// Every id of the table: the width it needs, and what a fresh handle answers.
TEST_F(HandleTest, GetOnFreshHandleByIdAndWidth) {
  struct row { int id, width, fresh; };
  const row rows[] = {
      {10, 4, -107}, {11, 4, 0},   {256, 4, -22}, {257, 2, -22}, {258, 2, -22},
      {259, 4, -22}, {512, 4, -22}, {513, 2, -22}, {514, 4, -22}, {515, 2, -22},
      {516, 1, -22}, {768, 1, 0},   {769, 1, 0},
  };
  uint32_t v;
  for (const row& r : rows) {
    SCOPED_TRACE(r.id);
    EXPECT_EQ(get(r.id, &v, r.width), r.fresh);
    if (r.fresh == 0) {
      EXPECT_EQ(get(r.id, &v, r.width + 1), -22) << "wrong width";
      EXPECT_EQ(get(r.id, &v, 8), -22);
    }
  }
  EXPECT_EQ(get(12, &v, 4), -92);
  EXPECT_EQ(get(0, &v, 4), -92);
}

TEST_F(HandleTest, WrongWidthLeavesValueUntouched) {
  uint64_t v = 0x1122334455667788ull;
  int len = 8;
  EXPECT_EQ(zorvsock_get_opt(h, ZORVSOCK_OPT_RX_BUFFER, &v, &len), -22);
  EXPECT_EQ(v, 0x1122334455667788ull);
  EXPECT_EQ(len, 8);
}

TEST_F(HandleTest, NullArguments) {
  uint32_t v = 0;
  int len = 4;
  EXPECT_EQ(zorvsock_get_opt(nullptr, 11, &v, &len), -22);
  EXPECT_EQ(zorvsock_get_opt(h, 11, nullptr, &len), -22);
  EXPECT_EQ(zorvsock_get_opt(h, 11, &v, nullptr), -22);
  EXPECT_EQ(zorvsock_set_opt(nullptr, 11, &v, 4), -22);
  EXPECT_EQ(zorvsock_set_opt(h, 11, nullptr, 4), -22);
}

TEST_F(HandleTest, SetReadOnlyOrUnknownIds) {
  for (int id : {10, 12, 256, 257, 258, 259, 512, 513, 514, 515}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(set(id, 1, 4), -92);
  }
}

TEST_F(HandleTest, RxBufferRangeWidthAndKind) {
  EXPECT_EQ(set(11, 127, 4), -22);
  EXPECT_EQ(set(11, 65537, 4), -22);
  EXPECT_EQ(set(11, uint32_t(-1), 4), -22) << "compared unsigned";
  EXPECT_EQ(set(11, 128, 2), -22);
  EXPECT_EQ(set(11, 128, 4), 0);
  EXPECT_EQ(set(11, 65536, 4), 0);
  uint32_t v;
  EXPECT_EQ(get(11, &v, 4), 0);
  EXPECT_EQ(v, 65536u);
  h->kind = HANDLE_UDP;
  EXPECT_EQ(set(11, 256, 4), -114);
  EXPECT_EQ(set(11, 100, 4), -22) << "range is checked before the kind";
}

TEST_F(HandleTest, TtlWidthsAndValues) {
  EXPECT_EQ(set(768, 7, 4), -22);
  EXPECT_EQ(set(769, 7, 2), -22);
  EXPECT_EQ(set(768, 200, 1), 0);
  EXPECT_EQ(set(769, 33, 1), 0);
  uint32_t v;
  EXPECT_EQ(get(768, &v, 1), 0);
  EXPECT_EQ(v, 200u);
  EXPECT_EQ(h->tcp.data_desc.ttl, 200) << "TCP segments use the handle's TTL";
  EXPECT_EQ(get(769, &v, 1), 0);
  EXPECT_EQ(v, 33u);
}

// A UDP handle made by hand: its register page is an ordinary anonymous page.
struct UdpHandleTest : HandleTest {
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  void SetUp() override {
    ASSERT_NE(page, MAP_FAILED);
    h->kind = HANDLE_UDP;
    h->udp.reg_ = static_cast<volatile uint64_t*>(page);
    h->udp.tx_desc_.ttl = 64;
  }
  void TearDown() override {
    h->udp.reg_ = nullptr;  // not the handle's own mapping
    munmap(page, 4096);
    HandleTest::TearDown();
  }
  uint64_t flag_reg() const { return static_cast<volatile uint64_t*>(page)[0x40 / 8]; }
};

TEST_F(UdpHandleTest, SessionFlagWritesOneOnlyForOne) {
  EXPECT_EQ(set(516, 1, 1), 0);
  EXPECT_EQ(flag_reg(), 1u);
  uint32_t v;
  EXPECT_EQ(get(516, &v, 1), 0);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(set(516, 2, 1), 0);
  EXPECT_EQ(flag_reg(), 0u);
  EXPECT_EQ(set(516, 1, 4), -22);
}

TEST_F(HandleTest, SessionFlagNeedsUdp) {
  h->kind = HANDLE_TCP;
  EXPECT_EQ(set(516, 1, 1), -22);
}

TEST_F(UdpHandleTest, TtlOptionsFollowTheDestination) {
  h->udp.dst_ip_ = 0xEF010101;  // 239.1.1.1
  EXPECT_EQ(set(768, 9, 1), 0);
  EXPECT_EQ(h->udp.tx_desc_.ttl, 64) << "unicast TTL leaves a multicast flow alone";
  EXPECT_EQ(set(769, 5, 1), 0);
  EXPECT_EQ(h->udp.tx_desc_.ttl, 5);
  h->udp.dst_ip_ = 0xC6120002;  // 198.18.0.2
  EXPECT_EQ(set(769, 6, 1), 0);
  EXPECT_EQ(h->udp.tx_desc_.ttl, 5);
  EXPECT_EQ(set(768, 10, 1), 0);
  EXPECT_EQ(h->udp.tx_desc_.ttl, 10);
}

TEST_F(UdpHandleTest, UdpValuesAndWidths) {
  h->udp.dst_ip_ = 0xC6120002;
  h->udp.dst_port_ = 4000;
  h->udp.last_src_ip_ = 0x0A000001;
  h->udp.last_src_port_ = 0xBEEF;
  uint32_t v;
  EXPECT_EQ(get(512, &v, 4), 0);
  EXPECT_EQ(v, 0xC6120002u);
  EXPECT_EQ(get(513, &v, 2), 0);
  EXPECT_EQ(v, 4000u);
  EXPECT_EQ(get(514, &v, 4), 0);
  EXPECT_EQ(v, 0x0A000001u);
  EXPECT_EQ(get(515, &v, 2), 0);
  EXPECT_EQ(v, 0xBEEFu);
  EXPECT_EQ(get(515, &v, 4), -22);
  EXPECT_EQ(get(256, &v, 4), -22) << "TCP option on a UDP handle";
  EXPECT_EQ(get(10, &v, 4), 0) << "no interface yet reads as 0";
  EXPECT_EQ(v, 0u);
}

TEST_F(HandleTest, TcpValues) {
  h->kind = HANDLE_TCP;
  h->tcp_hw.remote_ip_ = 0xC6120002;
  h->tcp_hw.remote_port_ = 5001;
  h->tcp_hw.local_ip_ = 0xC6120001;
  h->tcp.tx_mss = 1400;
  h->tcp.state = vyxtcp::TCP_ESTABLISHED;
  uint32_t v;
  EXPECT_EQ(get(10, &v, 4), 0);
  EXPECT_EQ(v, 0xC6120001u);
  EXPECT_EQ(get(256, &v, 4), 0);
  EXPECT_EQ(v, 0xC6120002u);
  EXPECT_EQ(get(257, &v, 2), 0);
  EXPECT_EQ(v, 5001u);
  EXPECT_EQ(get(258, &v, 2), 0);
  EXPECT_EQ(v, 1400u);
  EXPECT_EQ(get(259, &v, 4), 0);
  EXPECT_EQ(v, 5u) << "public TCP_ESTABLISHED";
  EXPECT_EQ(get(512, &v, 4), -22);
}

TEST(TcpState, InternalToPublic) {
  using namespace vyxtcp;
  const int expect[][2] = {{TCP_ESTABLISHED, 5}, {TCP_SYN_SENT, 4}, {TCP_SYN_RECV, 3},
                           {TCP_FIN_WAIT1, 8},   {TCP_FIN_WAIT2, 9}, {TCP_TIME_WAIT, 11},
                           {TCP_CLOSE, 1},       {TCP_CLOSE_WAIT, 6}, {TCP_LAST_ACK, 7},
                           {TCP_LISTEN, 2},      {TCP_CLOSING, 10},  {0, 0}, {12, 0}};
  for (auto& e : expect) EXPECT_EQ(tcp_public_state(e[0]), e[1]) << e[0];
}

TEST(Str2Ip, Table) {
  struct row { const char* text; uint32_t ip; };
  const row rows[] = {
      {"192.168.1.10", 0xC0A8010A}, {"10..1.2", 0x0A000102},   {"1.2.3.", 0x01020300},
      {"1.2.3.4 and more", 0x01020304}, {"1.2.3", 0}, {"256.1.1.1", 0}, {"a.b.c.d", 0},
      {"", 0}, {"0.0.0.0", 0}, {"255.255.255.255", 0xFFFFFFFF}, {"1.2.3.256", 0},
      {"1.2.3.x", 0x01020300}, {"...", 0}, {"1.2.3.4.5", 0x01020304}, {" 1.2.3.4", 0},
      {"0001.2.3.4", 0x01020304},
  };
  for (const row& r : rows) EXPECT_EQ(zorvsock_str2ip(r.text), r.ip) << '"' << r.text << '"';
  EXPECT_EQ(zorvsock_str2ip(nullptr), 0u);
}

TEST(Ip2Str, FormatsAndNull) {
  char buf[16];
  EXPECT_STREQ(zorvsock_ip2str(buf, 0xC0A8010A), "192.168.1.10");
  EXPECT_STREQ(zorvsock_ip2str(buf, 0), "0.0.0.0");
  EXPECT_STREQ(zorvsock_ip2str(buf, 0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(zorvsock_ip2str(nullptr, 1), nullptr);
}

TEST(LibVersion, WritesNoticeToStderr) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(zorvsock_get_lib_version(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "This function is not implemented yet\n");
}

TEST(Githash, IsTheBuildIdentifier) {
  EXPECT_EQ(zorvsock_get_githash(), zorvsock_get_githash());
  EXPECT_EQ(zorvsock_setoption(nullptr, 0, nullptr, 0), -1);
  EXPECT_EQ(zorvsock_bk_tsc(), 0u);
}

}  // namespace
