// The blocks of the two capture file formats, encoded in the host's byte order (which
// the pcapng byte-order magic and the pcap magic declare). pcapng: one section, one
// Interface Description Block per interface with nanosecond time stamps, and Enhanced
// Packet Blocks with the epb_flags option for the direction. pcap: the variant with
// nanosecond time stamps.
//
// Every encoder is given its room in bytes and returns the size it wrote, or -1 when
// the block does not fit; nothing it writes is then to be used.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zdump {

constexpr uint32_t SHB_TYPE = 0x0A0D0D0A, IDB_TYPE = 1, ISB_TYPE = 5, EPB_TYPE = 6;
constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
constexpr uint32_t PCAP_NS_MAGIC = 0xA1B23C4D;
constexpr uint16_t OPT_END = 0, IDB_OPT_NAME = 2, IDB_OPT_TSRESOL = 9, EPB_OPT_FLAGS = 2;
constexpr uint8_t TSRESOL_NS = 9;
constexpr size_t SHB_BYTES = 28;
constexpr size_t EPB_FIXED_BYTES = 32;  // up to the frame, and the trailing length
constexpr size_t PCAP_HEADER_BYTES = 24;
constexpr size_t PCAP_RECORD_HEAD_BYTES = 16;
constexpr uint32_t PCAP_SNAPLEN = 65535;
constexpr uint32_t LINKTYPE_ETHERNET = 1;
constexpr uint32_t EPB_FLAG_INBOUND = 1, EPB_FLAG_OUTBOUND = 2;
// The largest Enhanced Packet Block the tool writes: a 65535-byte frame with epb_flags.
constexpr size_t EPB_MAX_BYTES = EPB_FIXED_BYTES + 65536 + 12;

// Frame bytes rounded up to the pcapng 32-bit boundary.
constexpr uint32_t pcapng_padded(uint32_t len) { return (len + 3) & ~3u; }

struct pcapng_option {
  uint16_t code;
  uint16_t len;
  const void* value;
};

struct epb_desc {
  uint32_t ifid;
  uint64_t ts;  // in the interface's time-stamp resolution
  uint32_t captured, original;
  const unsigned char* data;  // captured bytes; zeros fill up to the 32-bit boundary
  const pcapng_option* options;
  int option_count;
};

struct isb_desc {
  uint32_t ifid;
  uint64_t ts;
  const pcapng_option* options;
  int option_count;
};

// The options and their end marker; 0 (nothing written) for no options.
int64_t encode_options(unsigned char* out, size_t room, const pcapng_option* opts, int count);
// A Section Header Block of unknown section length.
int64_t write_shb(unsigned char* out, size_t room, const pcapng_option* opts, int count);
// An Interface Description Block for Ethernet without a snap length.
int64_t write_idb(unsigned char* out, size_t room, const pcapng_option* opts, int count);
int64_t encode_epb(unsigned char* out, size_t room, const epb_desc& d);
int64_t encode_isb(unsigned char* out, size_t room, const isb_desc& d);
int64_t write_pcap_header(unsigned char* out, size_t room);
// A pcap record of len bytes: seconds, nanoseconds, included and original length.
int64_t encode_pcap_record(unsigned char* out, size_t room, uint32_t sec, uint32_t nsec,
                           const unsigned char* data, uint32_t len);

// The epb_flags value of a capture record's direction byte: 0 received, else sent.
inline uint32_t epb_direction_flags(uint8_t direction) {
  return direction == 0 ? EPB_FLAG_INBOUND : EPB_FLAG_OUTBOUND;
}

}  // namespace zdump
