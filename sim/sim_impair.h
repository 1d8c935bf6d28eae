// Impairment of the frames of one port direction on the wire side: loss, duplication
// and reordering at percentages set through the control socket, drawn from a seeded
// generator so that a run repeats. A reordered frame is held back and goes after the
// next frame of its direction, or on its own once it has waited IMPAIR_HOLD_NS.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zsim {

constexpr uint64_t IMPAIR_DEFAULT_SEED = 1;
constexpr int64_t IMPAIR_HOLD_NS = 2000000;

struct impair_settings {
  double loss = 0, dup = 0, reorder = 0;  // percentages
  uint64_t seed = IMPAIR_DEFAULT_SEED;
};

// "loss=P dup=P reorder=P seed=N" (each at most once, any order; those not given are 0
// and the default seed) or "off". False with *error.
bool impair_parse(const std::vector<std::string>& words, impair_settings* s, std::string* error);
std::string impair_format(const impair_settings& s);

// What one frame becomes: the frames to send in their order (the frame itself, once or
// twice, then a frame held before it), and what was done to it.
struct impair_out {
  static constexpr int MAX_FRAMES = 3;
  const unsigned char* frames[MAX_FRAMES] = {};
  size_t lens[MAX_FRAMES] = {};
  int count = 0;
  bool dropped = false, duplicated = false, reordered = false;
  std::vector<unsigned char> released;  // the held frame's bytes, when it goes now

  void add(const unsigned char* frame, size_t len) {
    frames[count] = frame;
    lens[count++] = len;
  }
};

// One direction of a port. Settings come from the control thread, frames from the
// datapath and the request server: all under the mutex.
class impair_dir {
 public:
  void set(const impair_settings& s);
  impair_settings get();
  // False while nothing is impaired or held: the frame goes as it is.
  bool engaged() const { return engaged_.load(std::memory_order_relaxed); }
  // The frame (valid until *out is used) passed through the impairment at now_ns.
  void apply(const unsigned char* frame, size_t len, int64_t now_ns, impair_out* out);
  // A held frame that has waited long enough, moved into *frame; false when none.
  bool release_due(int64_t now_ns, std::vector<unsigned char>* frame);

 private:
  bool chance(double percent);
  void update_engaged();

  std::mutex mutex_;
  impair_settings settings_;
  uint64_t state_ = IMPAIR_DEFAULT_SEED;
  bool holding_ = false;
  int64_t held_since_ns_ = 0;
  std::vector<unsigned char> held_;
  std::atomic<bool> engaged_{false};
};

}  // namespace zsim
