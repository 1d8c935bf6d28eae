// A field of the TCP engine that one thread writes while another reads it.
//
// Loads and stores are whole-value and relaxed: on x86 plain moves, so the data path
// pays nothing for them. There is no read-modify-write: `x = x + n` is a load and a
// store, which is right only where the field has one writer at a time, as each field
// of this type states at its declaration.
#pragma once
#include <atomic>

namespace vyxtcp {

template <typename T>
struct tcp_relaxed {
  std::atomic<T> value_;

  constexpr tcp_relaxed(T v = T{}) : value_(v) {}  // NOLINT: converts like the plain field
  tcp_relaxed(const tcp_relaxed&) = delete;

  T load() const { return value_.load(std::memory_order_relaxed); }
  void store(T v) { value_.store(v, std::memory_order_relaxed); }
  operator T() const { return load(); }  // NOLINT: reads like the plain field
  tcp_relaxed& operator=(T v) {
    store(v);
    return *this;
  }
  tcp_relaxed& operator=(const tcp_relaxed& other) {
    store(other.load());
    return *this;
  }
};

}  // namespace vyxtcp
