// The UDP data path: send with an optional TX time-stamp id, the send-readiness test,
// the zero-copy receive calls and the release of a received datagram. No system call
// and no copy: sends write lines into the TX window, receives point into the ring.
#include <cerrno>
#include <cstring>

#include "unaligned.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

constexpr int SEND_POLLS = 100;  // reads of the feedback word before "no room"
constexpr int READY_POLLS = 2;

// A session configured without a destination answers the datagram last received: the
// first send adopts its sender's address (and is not sent), later ones go there.
[[gnu::cold]] int adopt_last_sender(vyx::zorvudp_v2& udp) {
  if (udp.last_src_ip_ == 0) return -ENOTCONN;
  udp.dst_ip_ = udp.last_src_ip_;
  const int rc = udp.resolve_destination();
  return rc < 0 ? rc : -ENOTCONN;
}

[[gnu::cold]] int adopt_last_port(vyx::zorvudp_v2& udp) {
  if (udp.last_src_port_ == 0) return -ENOTCONN;
  udp.dst_port_ = udp.last_src_port_;
  udp.tx_desc_.dst_port = udp.last_src_port_;
  return 0;
}

// The current slot of a UDP handle's ring, with the datagram's addresses taken into the
// session; its payload length, or -11 when the ring is empty (rx_time still written).
int look_at_current(zorvsock_handle* h, const uint8_t** slot, uint64_t* rx_time) {
  vyx::zorvudp_v2& udp = h->udp;
  const uint8_t* s = udp.rx_dma_.current_slot();
  const int len = kvel::rx_dma_ring::slot_length(s);
  const uint64_t adj = uint64_t(int64_t(h->rx_adj_ns));
  if (len == 0) {
    if (rx_time) *rx_time = 0 - adj;
    return -EAGAIN;
  }
  udp.last_src_ip_ = load_u32(s + vyx::UDP_SLOT_SRC_IP);
  udp.last_src_port_ = load_u16(s + vyx::UDP_SLOT_SRC_PORT);
  udp.last_dst_ip_ = load_u32(s + vyx::UDP_SLOT_DST_IP);
  udp.last_dst_port_ = load_u16(s + vyx::UDP_SLOT_DST_PORT);
  udp.rx_held_ = true;
  if (rx_time) *rx_time = kvel::card_time_to_ns(kvel::rx_dma_ring::slot_time(s)) - adj;
  *slot = s;
  return len;
}

int check_receive(const zorvsock_handle* h, const void* const* data) {
  if (!h || !data) return -EINVAL;
  return h->kind == HANDLE_UDP ? 0 : -ENOTCONN;
}

void put_ip(uint32_t* out, uint32_t ip) {
  if (out) *out = ip;
}
void put_port(uint16_t* out, uint16_t port) {
  if (out) *out = port;
}

}  // namespace

extern "C" int zorvsock_udp_send(zorvsock_handle* h, const void* data, int len, uint64_t* tx_id) {
  if (!h || len < 0 || (!data && len > 0)) [[unlikely]]
    return -EINVAL;
  if (h->kind != HANDLE_UDP) [[unlikely]]
    return -ENOTCONN;
  vyx::zorvudp_v2& udp = h->udp;
  if (udp.dst_unresolved_) [[unlikely]]
    return -EDESTADDRREQ;
  if (udp.dst_ip_ == 0) [[unlikely]]
    return adopt_last_sender(udp);
  if (udp.dst_port_ == 0) [[unlikely]] {
    const int rc = adopt_last_port(udp);
    if (rc < 0) return rc;
  }
  if (len > udp.max_payload_) [[unlikely]]
    return -EMSGSIZE;
  udp.tx_desc_.length = uint16_t(len);
  udp.tx_desc_.flags = uint16_t((udp.tx_desc_.flags & vyx::UDP_DESC_FLAGS_MASK) |
                                (tx_id ? vyx::UDP_DESC_TX_TIMESTAMP : 0));
  if (udp.tx_pio_.write(data, len, &udp.tx_desc_, SEND_POLLS) != 0) return -EAGAIN;
  if (tx_id) *tx_id = udp.ts_log_.next_id_++;
  return 0;
}

extern "C" int zorvsock_udp_send_ready(zorvsock_handle* h) {
  if (!h) return -EINVAL;
  if (h->kind != HANDLE_UDP) return -ENOTCONN;
  kvel::tx_pio& tx = h->udp.tx_pio_;
  const int need = kvel::tx_send_credits(h->udp.max_payload_);
  return tx.tx_available_256bit_ >= need || tx.poll_room(need, READY_POLLS) ? 1 : 0;
}

extern "C" int zorvsock_udp_zc_receive(zorvsock_handle* h, const void** data, uint64_t* rx_time) {
  if (const int bad = check_receive(h, data)) return bad;
  const uint8_t* slot = nullptr;
  const int len = look_at_current(h, &slot, rx_time);
  *data = len < 0 ? nullptr : slot + h->udp.rx_dma_.hdr_len_;
  return len;
}

extern "C" int zorvsock_udp_zc_receivefrom_full(zorvsock_handle* h, const void** data,
                                                uint64_t* rx_time, uint32_t* src_ip,
                                                uint16_t* src_port, uint32_t* dst_ip,
                                                uint16_t* dst_port) {
  if (const int bad = check_receive(h, data)) return bad;
  const uint8_t* slot = nullptr;
  const int len = look_at_current(h, &slot, rx_time);
  if (len < 0) return len;
  const vyx::zorvudp_v2& udp = h->udp;
  *data = slot + udp.rx_dma_.hdr_len_;
  put_ip(src_ip, udp.last_src_ip_);
  put_port(src_port, udp.last_src_port_);
  put_ip(dst_ip, udp.last_dst_ip_);
  put_port(dst_port, udp.last_dst_port_);
  return len;
}

extern "C" int zorvsock_udp_zc_receivefrom(zorvsock_handle* h, const void** data,
                                           uint64_t* rx_time, uint32_t* src_ip,
                                           uint16_t* src_port) {
  return zorvsock_udp_zc_receivefrom_full(h, data, rx_time, src_ip, src_port, nullptr, nullptr);
}

// Freeing a slot that no receive returned would drop a datagram nobody has seen.
extern "C" int zorvsock_udp_zc_receive_done(zorvsock_handle* h) {
  if (!h) return -EINVAL;
  if (h->kind != HANDLE_UDP) return -ENOTCONN;
  if (!h->udp.rx_held_) return -EINVAL;
  h->udp.rx_held_ = false;
  h->udp.rx_dma_.release_slot();
  return 0;
}
