#include "capture_blocks.h"

#include <cstring>

namespace zdump {
namespace {

constexpr uint32_t SHB_TYPE = 0x0A0D0D0A, IDB_TYPE = 1, EPB_TYPE = 6;
constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
constexpr uint32_t PCAP_NS_MAGIC = 0xA1B23C4D;
constexpr uint16_t OPT_END = 0, IDB_OPT_NAME = 2, IDB_OPT_TSRESOL = 9, EPB_OPT_FLAGS = 2;
constexpr uint8_t TSRESOL_NS = 9;

// Sequential little writer over a buffer the caller sized.
struct put {
  unsigned char* p;
  void u16(uint16_t v) { bytes(&v, 2); }
  void u32(uint32_t v) { bytes(&v, 4); }
  void u64(uint64_t v) { bytes(&v, 8); }
  void bytes(const void* src, size_t n) {
    memcpy(p, src, n);
    p += n;
  }
  void zeros(size_t n) {
    memset(p, 0, n);
    p += n;
  }
  void option(uint16_t code, const void* value, uint16_t len) {
    u16(code);
    u16(len);
    bytes(value, len);
    zeros(pcapng_padded(len) - len);
  }
};

}  // namespace

size_t encode_shb(unsigned char* out) {
  put w{out};
  w.u32(SHB_TYPE);
  w.u32(SHB_BYTES);
  w.u32(BYTE_ORDER_MAGIC);
  w.u16(1);
  w.u16(0);
  w.u64(~uint64_t(0));  // section length not given
  w.u32(SHB_BYTES);
  return SHB_BYTES;
}

size_t encode_idb(unsigned char* out, const char* name) {
  size_t n = strlen(name);
  if (n > 255) return 0;
  uint32_t total = uint32_t(36 + pcapng_padded(uint32_t(n)));
  put w{out};
  w.u32(IDB_TYPE);
  w.u32(total);
  w.u16(uint16_t(LINKTYPE_ETHERNET));
  w.u16(0);
  w.u32(0xFFFFFFFF);  // no snap length
  w.option(IDB_OPT_TSRESOL, &TSRESOL_NS, 1);
  w.option(IDB_OPT_NAME, name, uint16_t(n));
  w.u32(OPT_END);
  w.u32(total);
  return total;
}

void encode_epb_head(unsigned char* out, uint32_t ifid, uint64_t ts_ns, uint32_t len) {
  put w{out};
  w.u32(EPB_TYPE);
  w.u32(uint32_t(EPB_HEAD_BYTES + EPB_TAIL_BYTES) + pcapng_padded(len));
  w.u32(ifid);
  w.u32(uint32_t(ts_ns >> 32));
  w.u32(uint32_t(ts_ns));
  w.u32(len);  // captured
  w.u32(len);  // original
}

void encode_epb_tail(unsigned char* out, uint32_t len, uint8_t direction) {
  // Received records are inbound; every other direction byte means transmitted.
  uint32_t flags = direction == 0 ? EPB_FLAG_INBOUND : EPB_FLAG_OUTBOUND;
  put w{out};
  w.option(EPB_OPT_FLAGS, &flags, 4);
  w.u32(OPT_END);
  w.u32(uint32_t(EPB_HEAD_BYTES + EPB_TAIL_BYTES) + pcapng_padded(len));
}

size_t encode_pcap_header(unsigned char* out) {
  put w{out};
  w.u32(PCAP_NS_MAGIC);
  w.u16(2);
  w.u16(4);
  w.u32(0);  // time zone offset
  w.u32(0);  // accuracy
  w.u32(PCAP_SNAPLEN);
  w.u32(LINKTYPE_ETHERNET);
  return PCAP_HEADER_BYTES;
}

void encode_pcap_record_head(unsigned char* out, uint32_t sec, uint32_t nsec, uint32_t len) {
  put w{out};
  w.u32(sec);
  w.u32(nsec);
  w.u32(len);  // included
  w.u32(len);  // original
}

}  // namespace zdump
