#include "udp_status.h"

#include "session_status.h"
#include "signals_held.h"
#include "status_text.h"
#include "zorvudp_v2.h"

namespace vyx {

void append_udp_status(std::string& out, const zorvudp_v2& s) {
  kvel::append_ring_status(out, "UDP", s.reg_);
  kvel::append_tx_status(out, s.reg_, s.tx_pio_);
}

void udp_status_thread::start(const zorvudp_v2* s) {
  running_.store(1);
  const kvel::signals_held quiet;
  thread_ = std::thread([this, s] {
    while (kvel::status_pause(running_)) {
      std::string text;
      append_udp_status(text, *s);
      kvel::write_plain(text);
    }
  });
}

void udp_status_thread::stop() {
  if (!thread_.joinable()) return;
  running_.store(0);
  thread_.join();
}

}  // namespace vyx
