// zorvsock_set_opt and zorvsock_get_opt: the option table of the handle.
#include <bit>
#include <cstring>

#include "kvel_dev.h"
#include "text_util.h"
#include "zorvsock.h"
#include "zorvsock_handle.h"

namespace {

constexpr int EINVAL_ = -22;
constexpr int ENOPROTOOPT_ = -92;
constexpr int ENOTCONN_ = -107;
constexpr int EALREADY_ = -114;

// The UDP datagram TTL follows the option that matches its destination.
void apply_udp_ttl(zorvsock_handle* h, bool for_multicast, uint8_t ttl) {
  if (h->kind == HANDLE_UDP && kvel::is_multicast(h->udp.dst_ip_) == for_multicast)
    h->udp.tx_desc_.ttl = ttl;
}

int set_rx_buffer(zorvsock_handle* h, const void* value, int len) {
  if (len != 4) return EINVAL_;
  uint32_t units;
  memcpy(&units, value, 4);
  if (units < RX_BUFFER_MIN || units > RX_BUFFER_MAX) return EINVAL_;
  if (h->kind != HANDLE_NONE) return EALREADY_;
  h->rx_buffer = int(units);
  return 0;
}

int set_session_flag(zorvsock_handle* h, const void* value, int len) {
  if (len != 1 || h->kind != HANDLE_UDP || !h->udp.reg_) return EINVAL_;
  uint8_t flag = *static_cast<const uint8_t*>(value);
  kvel::mmio_write64(h->udp.reg_, vyx::UDP_REG_SESSION_FLAG, flag == 1 ? 1 : 0);
  return 0;
}

int set_ttl(zorvsock_handle* h, const void* value, int len) {
  if (len != 1) return EINVAL_;
  uint8_t ttl = *static_cast<const uint8_t*>(value);
  h->ttl = ttl;
  h->tcp.set_ttl(ttl);
  apply_udp_ttl(h, false, ttl);
  return 0;
}

int set_mcast_ttl(zorvsock_handle* h, const void* value, int len) {
  if (len != 1) return EINVAL_;
  uint8_t ttl = *static_cast<const uint8_t*>(value);
  h->mcast_ttl = ttl;
  apply_udp_ttl(h, true, ttl);
  return 0;
}

// One readable option: its width, the kind it needs (-1: any) and its value.
struct opt_value {
  int width;
  int kind;
  uint32_t value;
};

bool option_value(const zorvsock_handle* h, int id, opt_value* v) {
  const auto& udp = h->udp;
  const auto& hw = h->tcp_hw;
  switch (id) {
    case ZORVSOCK_OPT_LOCAL_IP:
      *v = {4, h->kind, h->kind == HANDLE_UDP ? (udp.itf_ ? udp.itf_->address : 0) : hw.local_ip_};
      return true;
    case ZORVSOCK_OPT_RX_BUFFER: *v = {4, -1, uint32_t(h->rx_buffer)}; return true;
    case ZORVSOCK_OPT_TCP_REMOTE_IP: *v = {4, HANDLE_TCP, hw.remote_ip_}; return true;
    case ZORVSOCK_OPT_TCP_REMOTE_PORT: *v = {2, HANDLE_TCP, hw.remote_port_}; return true;
    case ZORVSOCK_OPT_TCP_TX_MSS: *v = {2, HANDLE_TCP, uint32_t(h->tcp.tx_mss) & 0xFFFF}; return true;
    case ZORVSOCK_OPT_TCP_STATE:
      *v = {4, HANDLE_TCP, uint32_t(vyxtcp::tcp_public_state(h->tcp.state))};
      return true;
    case ZORVSOCK_OPT_UDP_REMOTE_IP: *v = {4, HANDLE_UDP, udp.dst_ip_}; return true;
    case ZORVSOCK_OPT_UDP_REMOTE_PORT: *v = {2, HANDLE_UDP, udp.dst_port_}; return true;
    case ZORVSOCK_OPT_UDP_LAST_SRC_IP: *v = {4, HANDLE_UDP, udp.last_src_ip_}; return true;
    case ZORVSOCK_OPT_UDP_LAST_SRC_PORT: *v = {2, HANDLE_UDP, udp.last_src_port_}; return true;
    case ZORVSOCK_OPT_UDP_SESSION_FLAG:
      *v = {1, HANDLE_UDP,
            udp.reg_ ? uint32_t(kvel::mmio_read64(udp.reg_, vyx::UDP_REG_SESSION_FLAG) & 0xFF) : 0};
      return true;
    case ZORVSOCK_OPT_TTL: *v = {1, -1, h->ttl}; return true;
    case ZORVSOCK_OPT_MULTICAST_TTL: *v = {1, -1, h->mcast_ttl}; return true;
    default: return false;
  }
}

}  // namespace

extern "C" int zorvsock_set_opt(zorvsock_handle* h, int id, const void* value, int len) {
  if (!h || !value) return EINVAL_;
  switch (id) {
    case ZORVSOCK_OPT_RX_BUFFER: return set_rx_buffer(h, value, len);
    case ZORVSOCK_OPT_UDP_SESSION_FLAG: return set_session_flag(h, value, len);
    case ZORVSOCK_OPT_TTL: return set_ttl(h, value, len);
    case ZORVSOCK_OPT_MULTICAST_TTL: return set_mcast_ttl(h, value, len);
    default: return ENOPROTOOPT_;
  }
}

extern "C" int zorvsock_get_opt(zorvsock_handle* h, int id, void* value, int* len) {
  if (!h || !value || !len) return EINVAL_;
  // A one-connection listener answers for the connection it is waiting for.
  if (h->kind == HANDLE_TCP_LISTEN) zorvsock_tcp_get_status(h);
  opt_value v;
  if (!option_value(h, id, &v)) return ENOPROTOOPT_;
  if (id == ZORVSOCK_OPT_LOCAL_IP && h->kind != HANDLE_UDP && h->kind != HANDLE_TCP)
    return ENOTCONN_;
  if (*len != v.width || (v.kind >= 0 && v.kind != h->kind)) return EINVAL_;
  // The low 1, 2 or 4 bytes of a little-endian word are the narrower value.
  static_assert(std::endian::native == std::endian::little);
  memcpy(value, &v.value, size_t(v.width));
  return 0;
}

extern "C" int zorvsock_setoption(zorvsock_handle*, int, const void*, int) { return -1; }
