// Reading the per-interface time-stamp corrections and turning them, with the port's
// delays, into adjustments in ns and corrected delays in ps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ts_adjust.h"

// In the record's namespace, where the test macros look for them.
namespace kvel {

bool operator==(const ts_adjustment_config& a, const ts_adjustment_config& b) {
  return a.enable == b.enable && a.rx_internal == b.rx_internal &&
         a.rx_external == b.rx_external && a.tx_internal == b.tx_internal &&
         a.tx_external == b.tx_external;
}

std::ostream& operator<<(std::ostream& os, const ts_adjustment_config& c) {
  return os << "{enable " << c.enable << ", rx " << c.rx_internal << "/" << c.rx_external
            << ", tx " << c.tx_internal << "/" << c.tx_external << "}";
}

}  // namespace kvel

namespace {

// A fresh directory for configuration files, removed at the end.
class ConfigDir : public testing::Test {
 protected:
  std::filesystem::path dir_;

  void SetUp() override {
    char tmpl[] = "/tmp/ts_adjust_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& text) {
    std::string path = (dir_ / "kvel0").string();
    std::ofstream(path) << text;
    return path;
  }

  kvel::ts_adjustment_config read(const std::string& path) {
    kvel::ts_adjustment_config cfg{7, 7, 7, 7, 7};  // every field must be written
    kvel::read_ts_config_file(cfg, path);
    return cfg;
  }
};

constexpr kvel::ts_adjustment_config DEFAULTS{1, -1, -1, -1, -1};

struct config_case {
  const char* what;
  const char* text;
  kvel::ts_adjustment_config expected;
};

class ConfigFile : public ConfigDir, public testing::WithParamInterface<config_case> {};

TEST_P(ConfigFile, ReadsAsExpected) {
  EXPECT_EQ(read(write(GetParam().text)), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigFile,
    testing::Values(
        config_case{"empty file", "", DEFAULTS},
        config_case{"no known key", "foo=1\nbar=2\n", DEFAULTS},
        config_case{"TRUE with blanks and comment",
                    "ts_adjustment_enable = TRUE  # on\n", DEFAULTS},
        config_case{"True", "ts_adjustment_enable=True\n", DEFAULTS},
        config_case{"yes disables", "ts_adjustment_enable=yes\n", {0, -1, -1, -1, -1}},
        config_case{"false", "ts_adjustment_enable=false\n", {0, -1, -1, -1, -1}},
        config_case{"key without '=' is its own value", "ts_adjustment_enable\n",
                    {0, -1, -1, -1, -1}},
        config_case{"all five keys",
                    "ts_adjustment_enable=true\n"
                    "ts_rx_internal_adjustment_ps=11\nts_rx_external_adjustment_ps=-22\n"
                    "ts_tx_internal_adjustment_ps=33\nts_tx_external_adjustment_ps=-44\n",
                    {1, 11, -22, 33, -44}},
        config_case{"blanks and tabs around", "\t  ts_tx_external_adjustment_ps = -1500 \t\n",
                    {1, -1, -1, -1, -1500}},
        config_case{"whitespace inside the number", "ts_tx_internal_adjustment_ps=1 2 3\n",
                    {1, -1, -1, 123, -1}},
        config_case{"first of two lines counts, even empty",
                    "ts_tx_internal_adjustment_ps=\nts_tx_internal_adjustment_ps=500\n",
                    DEFAULTS},
        config_case{"first of two lines counts",
                    "ts_rx_internal_adjustment_ps=5\nts_rx_internal_adjustment_ps=6\n",
                    {1, 5, -1, -1, -1}},
        config_case{"commented key ignored",
                    "# ts_tx_internal_adjustment_ps=500\n  #ts_adjustment_enable=false\n",
                    DEFAULTS},
        config_case{"'#' ends a value", "ts_rx_external_adjustment_ps=250#note\n",
                    {1, -1, 250, -1, -1}},
        config_case{"a key in a comment does not decide",
                    "foo=1 # ts_adjustment_enable=true\nts_adjustment_enable=false\n",
                    {0, -1, -1, -1, -1}},
        config_case{"value -1 is the same as absent", "ts_rx_internal_adjustment_ps=-1\n",
                    DEFAULTS},
        config_case{"number read up to the first other character",
                    "ts_rx_internal_adjustment_ps=12abc\nts_tx_internal_adjustment_ps=+7\n",
                    {1, 12, -1, 7, -1}},
        config_case{"garbage counts as absent",
                    "ts_rx_internal_adjustment_ps=abc\nts_rx_external_adjustment_ps=-\n"
                    "ts_tx_internal_adjustment_ps=0x10q\nts_tx_external_adjustment_ps=--5\n",
                    {1, -1, -1, 0, -1}},
        config_case{"limits of int32",
                    "ts_rx_internal_adjustment_ps=2147483647\n"
                    "ts_rx_external_adjustment_ps=-2147483648\n",
                    {1, 2147483647, INT32_MIN, -1, -1}},
        config_case{"beyond int32 counts as absent",
                    "ts_rx_internal_adjustment_ps=2147483648\n"
                    "ts_rx_external_adjustment_ps=-2147483649\n"
                    "ts_tx_internal_adjustment_ps=99999999999999999999999\n",
                    DEFAULTS},
        config_case{"carriage returns are whitespace", "ts_tx_external_adjustment_ps=42\r\n",
                    {1, -1, -1, -1, 42}}));

TEST_F(ConfigDir, MissingFileGivesDefaults) {
  EXPECT_EQ(read((dir_ / "absent").string()), DEFAULTS);
}

TEST_F(ConfigDir, DirectoryInPlaceOfFileGivesDefaults) { EXPECT_EQ(read(dir_.string()), DEFAULTS); }

TEST_F(ConfigDir, LoadKeepsOnlyMeaningfulLines) {
  std::string text = "old\n";
  EXPECT_EQ(kvel::load_config_text(
                text, write("  \t \n\n# comment\n  a = 1  # x\n\tb=2\t\n#c=3\n").c_str()),
            0);
  EXPECT_EQ(text, "old\na = 1  \nb=2\n");
}

TEST_F(ConfigDir, LoadOfNothingUsefulFails) {
  std::string text;
  EXPECT_EQ(kvel::load_config_text(text, write("# only\n   \n").c_str()), -1);
  EXPECT_EQ(kvel::load_config_text(text, (dir_ / "absent").c_str()), -1);
  EXPECT_EQ(text, "");
}

TEST(FindConfigValue, SubstringOfALineMatchesAndWhitespaceGoes) {
  std::string v = "stale";
  EXPECT_EQ(kvel::find_config_value("x=1\nmy_key_x = a b\tc\nkey=2\n", "key", v), 0);
  EXPECT_EQ(v, "abc");
  EXPECT_EQ(kvel::find_config_value("a=b=c\n", "a", v), 0);
  EXPECT_EQ(v, "b=c");  // the value starts after the first '='
  EXPECT_EQ(kvel::find_config_value("x=1\n", "key", v), -1);
  EXPECT_EQ(kvel::find_config_value("key= \t\n", "key", v), -1);
  EXPECT_EQ(v, "");
}

struct adjust_case {
  const char* what;
  kvel::ts_adjustment_config cfg;
  int64_t tx_delay_ps, rx_delay_ps;
  int32_t tx_ns, rx_ns;
  int64_t tx_ps, rx_ps;
};

class Adjustment : public testing::TestWithParam<adjust_case> {};

TEST_P(Adjustment, InNanosecondsAndPicoseconds) {
  const adjust_case& c = GetParam();
  int32_t tx_ns = 99, rx_ns = 99;
  kvel::compute_ts_adjustment(c.cfg, c.tx_delay_ps, c.rx_delay_ps, &tx_ns, &rx_ns);
  EXPECT_EQ(tx_ns, c.tx_ns) << c.what;
  EXPECT_EQ(rx_ns, c.rx_ns) << c.what;
  int64_t tx_ps = 99, rx_ps = 99;
  kvel::compute_ts_delays_ps(c.cfg, c.tx_delay_ps, c.rx_delay_ps, &tx_ps, &rx_ps);
  EXPECT_EQ(tx_ps, c.tx_ps) << c.what;
  EXPECT_EQ(rx_ps, c.rx_ps) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Adjustment,
    testing::Values(
        adjust_case{"port delays only, truncated", DEFAULTS, 2999, 1500, 2, 1, 2999, 1500},
        adjust_case{"internal replaces, external adds", {1, -1, -1, 2500, -1500}, 7000, 0, 1,
                    0, 1000, 0},
        adjust_case{"truncation toward zero", {1, 999, -999, -1500, -1}, 0, 0, -1, 0, -1500, 0},
        adjust_case{"each term truncated on its own", {1, 1999, 1999, -1, 1999}, 1999, 0, 2, 2,
                    3998, 3998},
        adjust_case{"external with the port's delay", {1, -1, 2000, -1, -3000}, 1000, 500, -2,
                    2, -2000, 2500},
        adjust_case{"disabled", {0, 5000, 5000, 5000, 5000}, 3000, 3000, 0, 0, 0, 0},
        adjust_case{"zeroed record is disabled", {0, 0, 0, 0, 0}, 3000, 3000, 0, 0, 0, 0},
        adjust_case{"largest values", {1, INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN}, 0, 0,
                    -4294966, 4294966, int64_t(INT32_MIN) * 2, int64_t(INT32_MAX) * 2}));

// A descriptor that is no device: both delays are 0, each after its diagnostic line.
TEST(PortDelays, WithoutAFiberPageBothAreZero) {
  int64_t tx = 99, rx = 99;
  testing::internal::CaptureStdout();
  kvel::read_port_delays(-1, 0, &tx, &rx);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(tx, 0);
  EXPECT_EQ(rx, 0);
  EXPECT_NE(out.find("zorvfiber:get_pmapcsmac_tx_delay_ps():"), std::string::npos) << out;
  EXPECT_NE(out.find("zorvfiber:get_pmapcsmac_rx_delay_ps():"), std::string::npos) << out;
}

}  // namespace
