#include "capture_blocks.h"

#include <cstring>

namespace zdump {
namespace {

// Sequential writer over the caller's room: once something does not fit it writes
// nothing more and ok stays false.
struct put {
  unsigned char* p;
  size_t room;
  bool ok = true;

  void bytes(const void* src, size_t n) {
    if (!reserve(n)) return;
    memcpy(p, src, n);
    advance(n);
  }
  void zeros(size_t n) {
    if (!reserve(n)) return;
    memset(p, 0, n);
    advance(n);
  }
  void u16(uint16_t v) { bytes(&v, 2); }
  void u32(uint32_t v) { bytes(&v, 4); }
  void u64(uint64_t v) { bytes(&v, 8); }
  void options(const pcapng_option* opts, int count) {
    int64_t n = ok ? encode_options(p, room, opts, count) : -1;
    if (n < 0) ok = false;
    else advance(size_t(n));
  }
  bool reserve(size_t n) { return ok = ok && n <= room; }
  void advance(size_t n) {
    p += n;
    room -= n;
  }
};

size_t options_size(const pcapng_option* opts, int count) {
  if (count == 0) return 0;
  size_t n = 4;  // end of options
  for (int i = 0; i < count; ++i) n += 4 + pcapng_padded(opts[i].len);
  return n;
}

int64_t result(const put& w, size_t total) { return w.ok ? int64_t(total) : -1; }

// The fields that Enhanced Packet and Interface Statistics Blocks begin with.
void packet_head(put& w, uint32_t type, uint32_t total, uint32_t ifid, uint64_t ts) {
  w.u32(type);
  w.u32(total);
  w.u32(ifid);
  w.u32(uint32_t(ts >> 32));
  w.u32(uint32_t(ts));
}

}  // namespace

int64_t encode_options(unsigned char* out, size_t room, const pcapng_option* opts, int count) {
  if (count == 0) return 0;
  put w{out, room};
  for (int i = 0; i < count; ++i) {
    w.u16(opts[i].code);
    w.u16(opts[i].len);
    w.bytes(opts[i].value, opts[i].len);
    w.zeros(pcapng_padded(opts[i].len) - opts[i].len);
  }
  w.u32(OPT_END);
  return result(w, options_size(opts, count));
}

int64_t write_shb(unsigned char* out, size_t room, const pcapng_option* opts, int count) {
  const uint32_t total = uint32_t(SHB_BYTES + options_size(opts, count));
  put w{out, room};
  w.u32(SHB_TYPE);
  w.u32(total);
  w.u32(BYTE_ORDER_MAGIC);
  w.u16(1);
  w.u16(0);
  w.u64(~uint64_t(0));  // section length not given
  w.options(opts, count);
  w.u32(total);
  return result(w, total);
}

int64_t write_idb(unsigned char* out, size_t room, const pcapng_option* opts, int count) {
  const uint32_t total = uint32_t(20 + options_size(opts, count));
  put w{out, room};
  w.u32(IDB_TYPE);
  w.u32(total);
  w.u16(uint16_t(LINKTYPE_ETHERNET));
  w.u16(0);
  w.u32(0xFFFFFFFF);  // no snap length
  w.options(opts, count);
  w.u32(total);
  return result(w, total);
}

int64_t encode_epb(unsigned char* out, size_t room, const epb_desc& d) {
  const uint32_t padded = pcapng_padded(d.captured);
  const uint32_t total =
      uint32_t(EPB_FIXED_BYTES + padded + options_size(d.options, d.option_count));
  put w{out, room};
  packet_head(w, EPB_TYPE, total, d.ifid, d.ts);
  w.u32(d.captured);
  w.u32(d.original);
  w.bytes(d.data, d.captured);
  w.zeros(padded - d.captured);
  w.options(d.options, d.option_count);
  w.u32(total);
  return result(w, total);
}

int64_t encode_isb(unsigned char* out, size_t room, const isb_desc& d) {
  const uint32_t total = uint32_t(24 + options_size(d.options, d.option_count));
  put w{out, room};
  packet_head(w, ISB_TYPE, total, d.ifid, d.ts);
  w.options(d.options, d.option_count);
  w.u32(total);
  return result(w, total);
}

int64_t write_pcap_header(unsigned char* out, size_t room) {
  put w{out, room};
  w.u32(PCAP_NS_MAGIC);
  w.u16(2);
  w.u16(4);
  w.u32(0);  // time zone offset
  w.u32(0);  // accuracy
  w.u32(PCAP_SNAPLEN);
  w.u32(LINKTYPE_ETHERNET);
  return result(w, PCAP_HEADER_BYTES);
}

int64_t encode_pcap_record(unsigned char* out, size_t room, uint32_t sec, uint32_t nsec,
                           const unsigned char* data, uint32_t len) {
  put w{out, room};
  w.u32(sec);
  w.u32(nsec);
  w.u32(len);  // included
  w.u32(len);  // original
  w.bytes(data, len);
  return result(w, PCAP_RECORD_HEAD_BYTES + len);
}

}  // namespace zdump
