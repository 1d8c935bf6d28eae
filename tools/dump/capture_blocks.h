// The blocks of the two capture file formats, encoded in the host's byte order (which
// the pcapng byte-order magic and the pcap magic declare). pcapng: one section, one
// Interface Description Block per interface with nanosecond time stamps, and Enhanced
// Packet Blocks with the epb_flags option for the direction. pcap: the variant with
// nanosecond time stamps.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zdump {

constexpr size_t SHB_BYTES = 28;
constexpr size_t EPB_HEAD_BYTES = 28;  // up to the frame
constexpr size_t EPB_TAIL_BYTES = 16;  // epb_flags, end of options, total length
constexpr size_t PCAP_HEADER_BYTES = 24;
constexpr size_t PCAP_RECORD_HEAD_BYTES = 16;
constexpr size_t IDB_MAX_BYTES = 36 + 256;
constexpr uint32_t PCAP_SNAPLEN = 65535;
constexpr uint32_t LINKTYPE_ETHERNET = 1;
constexpr uint32_t EPB_FLAG_INBOUND = 1, EPB_FLAG_OUTBOUND = 2;

// Frame bytes rounded up to the pcapng 32-bit boundary.
constexpr uint32_t pcapng_padded(uint32_t len) { return (len + 3) & ~3u; }

size_t encode_shb(unsigned char* out);
// The interface's name (at most 255 bytes) in if_name; 0 when it is longer.
size_t encode_idb(unsigned char* out, const char* name);
// ts_ns: nanoseconds since the epoch; direction: the capture record's byte.
void encode_epb_head(unsigned char* out, uint32_t ifid, uint64_t ts_ns, uint32_t len);
void encode_epb_tail(unsigned char* out, uint32_t len, uint8_t direction);
size_t encode_pcap_header(unsigned char* out);
void encode_pcap_record_head(unsigned char* out, uint32_t sec, uint32_t nsec, uint32_t len);

}  // namespace zdump
