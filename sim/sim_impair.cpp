#include "sim_impair.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "sim_parse.h"

namespace zsim {
namespace {

// Digits with at most one decimal point, from 0 to 100.
bool parse_percent(const std::string& text, double* value) {
  size_t digits = 0, points = 0;
  for (unsigned char c : text) {
    if (!isdigit(c) && c != '.') return false;
    (c == '.' ? points : digits) += 1;
  }
  if (digits == 0 || points > 1) return false;
  *value = strtod(text.c_str(), nullptr);
  return *value <= 100;
}

bool bad(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

// splitmix64: every seed, 0 too, gives a full-period sequence.
uint64_t next_random(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

bool impair_parse(const std::vector<std::string>& words, impair_settings* s, std::string* error) {
  *s = {};
  if (words.size() == 1 && words[0] == "off") return true;
  if (words.empty()) return bad(error, "give off or loss=P dup=P reorder=P seed=N");
  std::set<std::string> seen;
  for (const std::string& word : words) {
    size_t eq = word.find('=');
    std::string key = word.substr(0, eq),
                value = eq == std::string::npos ? "" : word.substr(eq + 1);
    double* rate = key == "loss"      ? &s->loss
                   : key == "dup"     ? &s->dup
                   : key == "reorder" ? &s->reorder
                                      : nullptr;
    if (!rate && key != "seed")
      return bad(error,
                 "unknown impairment \"" + word + "\" (loss=P dup=P reorder=P seed=N, or off)");
    if (eq == std::string::npos) return bad(error, "expected " + key + "=value");
    if (!seen.insert(key).second) return bad(error, key + " given twice");
    if (rate && !parse_percent(value, rate))
      return bad(error, "bad " + key + " \"" + value + "\": a percentage from 0 to 100");
    if (!rate && !parse_u64(value, &s->seed)) return bad(error, "bad seed \"" + value + "\"");
  }
  return true;
}

std::string impair_format(const impair_settings& s) {
  char text[128];
  snprintf(text, sizeof text, "loss=%g dup=%g reorder=%g seed=%llu", s.loss, s.dup, s.reorder,
           static_cast<unsigned long long>(s.seed));
  return text;
}

void impair_dir::set(const impair_settings& s) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = s;
  state_ = s.seed;
  update_engaged();
}

impair_settings impair_dir::get() {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

bool impair_dir::chance(double percent) {
  if (percent <= 0) return false;
  return double(next_random(&state_) >> 11) * 0x1.0p-53 * 100 < percent;
}

void impair_dir::update_engaged() {
  engaged_.store(holding_ || settings_.loss > 0 || settings_.dup > 0 || settings_.reorder > 0,
                 std::memory_order_relaxed);
}

void impair_dir::apply(const unsigned char* frame, size_t len, int64_t now_ns, impair_out* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool was_holding = holding_;
  if (was_holding) {
    out->released.swap(held_);
    holding_ = false;
  }
  if (chance(settings_.loss)) {
    out->dropped = true;
  } else if (!was_holding && chance(settings_.reorder)) {
    // One frame held at a time: it goes after the next one, which is never held itself.
    out->reordered = true;
    held_.assign(frame, frame + len);
    held_since_ns_ = now_ns;
    holding_ = true;
  } else {
    out->add(frame, len);
    if (chance(settings_.dup)) {
      out->duplicated = true;
      out->add(frame, len);
    }
  }
  if (was_holding) out->add(out->released.data(), out->released.size());
  update_engaged();
}

bool impair_dir::release_due(int64_t now_ns, std::vector<unsigned char>* frame) {
  if (!engaged()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!holding_ || now_ns - held_since_ns_ < IMPAIR_HOLD_NS) return false;
  frame->swap(held_);
  holding_ = false;
  update_engaged();
  return true;
}

}  // namespace zsim
