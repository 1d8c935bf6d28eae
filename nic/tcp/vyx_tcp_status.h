// The VYX_DEBUG status dump of a TCP connection, printed once a second by a thread of
// its own: the engine's sequence and window bookkeeping, the receive ring's card
// pointers and, once established, the card's acknowledgement block. The dump is taken
// under the engine's fsm_lock; the data path's fields, which the application's thread
// changes without it, and the card's pages may be a moment apart.
#pragma once
#include <mutex>
#include <string>
#include <thread>

#include "kvel_dev.h"
#include "session_ref.h"
#include "signals_held.h"
#include "status_text.h"
#include "vyx_tcp.h"

namespace vyxtcp {

template <typename S>
void append_tcp_status(std::string& out, const sw_tcp<S>& t) {
  kvel::append_format(out, "TCP state = %s\n", tcp_state_name(t.state.load()));
  kvel::append_format(out, "tx_available_quota=%d bk_tx_ack=%u tx_seq=%u tx_window=%u tx_mss=%d\n",
                      t.tx_available_quota.load(), t.bk_tx_ack.load().v, t.tx_seq.load().v,
                      t.tx_window.load(), t.tx_mss.load());
  kvel::append_format(
      out, "rx_to_be_ackd=%u rx_ack=%u rx_seq=%u bk_rx_ack=%u rx_window=%u local_mss=%d\n",
      t.rx_to_be_ackd.load().v, t.rx_ack.load().v, t.rx_seq.load().v, t.bk_rx_ack.load().v,
      t.rx_window, t.local_mss);
  kvel::append_format(out,
                      "rx_rdptr=%d bk_rx_rdptr=%d recv_processed=%d processed_rx=%d "
                      "bk_rx_recv_processed=%d (self=%d)\n",
                      t.rx_rdptr.load(), t.bk_rx_rdptr, t.recv_processed, t.processed_rx,
                      t.bk_rx_recv_processed, t.self);
  const S& hw = *t.hw;
  if (hw.reg_) {
    auto reg = [&hw](size_t offset) { return (unsigned long)kvel::mmio_read64(hw.reg_, offset); };
    kvel::append_format(out, "rx_dma: size=%lu rdptr=%lu wrptr=%lu dropped=%lu\n",
                        reg(kvel::SESSION_REG_RX_SIZE), reg(kvel::SESSION_REG_RX_RDPTR),
                        reg(kvel::SESSION_REG_RX_WRPTR), reg(kvel::SESSION_REG_RX_DROPPED));
  }
  if (const volatile txack* block = hw.txack_)
    kvel::append_format(out, "txack: ack: %u, win %u dup ack: %d fin_rst_flags %d\n", block->ack,
                        unsigned(block->win), int(block->dup_ack), int(block->fin_rst_flags));
}

// With VYX_DEBUG, the connection's status thread, once per engine. It ends when release
// clears `running`, which release does before it joins the thread.
template <typename S>
void tcp_status_start(sw_tcp<S>& t) {
  if (!t.debug || t.status_thread.joinable()) return;
  const kvel::signals_held quiet;
  t.status_thread = std::thread([&t] {
    while (kvel::status_pause(t.running)) {
      std::string text;
      {
        const std::lock_guard<std::mutex> hold(t.fsm_lock);
        append_tcp_status(text, t);
      }
      kvel::write_plain(text);
    }
  });
}

}  // namespace vyxtcp
