// The card simulator's wire impairment: the settings the control command takes, and
// what loss, duplication and reordering do to a sequence of frames.
#include "sim_impair.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_parse.h"

namespace {

using zsim::impair_dir;
using zsim::impair_out;
using zsim::impair_settings;

TEST(SimImpairParse, AcceptsPercentagesAndASeed) {
  impair_settings s;
  std::string error;
  ASSERT_TRUE(zsim::impair_parse(zsim::split_words("reorder=0.5 loss=1 seed=0x10"), &s, &error))
      << error;
  EXPECT_EQ(zsim::impair_format(s), "loss=1 dup=0 reorder=0.5 seed=16");
  ASSERT_TRUE(zsim::impair_parse({"off"}, &s, &error));
  EXPECT_EQ(zsim::impair_format(s), "loss=0 dup=0 reorder=0 seed=1");
}

TEST(SimImpairParse, RefusesWhatIsNotAnImpairment) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "give off or"},
      {"loss", "expected loss=value"},
      {"loss=", "bad loss"},
      {"loss=101", "bad loss"},
      {"dup=-1", "bad dup"},
      {"reorder=1e2", "bad reorder"},
      {"loss=1.2.3", "bad loss"},
      {"loss=.", "bad loss"},
      {"seed=x", "bad seed"},
      {"loss=1 loss=2", "loss given twice"},
      {"jitter=3", "unknown impairment"},
      {"off loss=1", "unknown impairment \"off\""},
  };
  for (const auto& [words, why] : cases) {
    impair_settings s;
    std::string error;
    EXPECT_FALSE(zsim::impair_parse(zsim::split_words(words), &s, &error)) << words;
    EXPECT_NE(error.find(why), std::string::npos) << words << ": " << error;
  }
}

// Frames 0..n-1 (one byte each) through the impairment; the bytes that come out.
std::vector<int> pass(impair_dir& d, int n, int64_t* dropped = nullptr) {
  std::vector<int> out;
  for (int i = 0; i < n; ++i) {
    unsigned char f = uint8_t(i);
    impair_out o;
    d.apply(&f, 1, 0, &o);
    if (dropped) *dropped += o.dropped;
    for (int k = 0; k < o.count; ++k) out.push_back(o.frames[k][0]);
  }
  return out;
}

TEST(SimImpair, ReorderedFrameGoesAfterTheNextOneOrOnItsOwnLater) {
  impair_dir d;
  d.set({0, 0, 100, 1});
  // Every frame that is not itself released with another is held: 1 0, 3 2, ...
  EXPECT_EQ(pass(d, 4), (std::vector<int>{1, 0, 3, 2}));
  EXPECT_TRUE(pass(d, 1).empty());
  std::vector<unsigned char> held;
  EXPECT_FALSE(d.release_due(zsim::IMPAIR_HOLD_NS - 1, &held));
  d.set({});  // switched off, the held frame still goes
  ASSERT_TRUE(d.release_due(zsim::IMPAIR_HOLD_NS, &held));
  EXPECT_EQ(held, std::vector<unsigned char>{0});
  EXPECT_FALSE(d.engaged());
}

TEST(SimImpair, RatesAreMetAndASeedRepeatsItsRun) {
  constexpr int FRAMES = 20000;
  impair_dir d;
  d.set({10, 5, 0, 7});
  int64_t dropped = 0;
  std::vector<int> first = pass(d, FRAMES, &dropped);
  EXPECT_NEAR(double(dropped) / FRAMES, 0.10, 0.01);
  // Passed frames once or twice: 90 % of them, and 5 % of those again.
  EXPECT_NEAR(double(first.size()) / FRAMES, 0.90 * 1.05, 0.01);
  d.set({10, 5, 0, 7});
  EXPECT_EQ(pass(d, FRAMES), first);
  d.set({10, 5, 0, 8});
  EXPECT_NE(pass(d, FRAMES), first);
}

}  // namespace
