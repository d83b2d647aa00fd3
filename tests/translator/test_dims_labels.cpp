// The dims text and the label file rules.
#include <gtest/gtest.h>

#include <sstream>

#include "translator_core.h"

using namespace orvane::ai;

namespace {

struct DimsCase {
  int n;
  const char *text;
  std::vector<int> dims;
  bool not_divisible, several_auto;
};

void PrintTo(const DimsCase &c, std::ostream *os) {
  *os << c.n << "/" << (c.text ? c.text : "null");
}

class DimsTable : public testing::TestWithParam<DimsCase> {};

TEST_P(DimsTable, Parses) {
  const DimsCase &c = GetParam();
  DimsParse p = parse_dims(c.n, c.text);
  EXPECT_EQ(p.dims, c.dims);
  EXPECT_EQ(p.not_divisible, c.not_divisible);
  EXPECT_EQ(p.several_auto, c.several_auto);
}

INSTANTIATE_TEST_SUITE_P(
    N507, DimsTable,
    testing::Values(DimsCase{507, "1,0", {1, 507}, false, false},
                    DimsCase{507, "0,3", {169, 3}, false, false},
                    DimsCase{507, "", {507}, false, false},
                    DimsCase{507, "1,0,0,3", {1, 169, 3}, false, true},
                    DimsCase{507, "2,2", {2, 2}, true, false},
                    DimsCase{507, nullptr, {}, false, false},
                    // trailing separator adds nothing, leading one an auto dim
                    DimsCase{507, "1,507,", {1, 507}, false, false},
                    DimsCase{507, ",3", {169, 3}, false, false},
                    // strtol: blanks skipped, junk ends the number, no digits = 0
                    DimsCase{507, " 3, x", {3, 169}, false, false},
                    DimsCase{507, "3abc,169", {3, 169}, false, false},
                    // single-precision floor
                    DimsCase{1000, "1,0,3", {1, 333, 3}, true, false}));

INSTANTIATE_TEST_SUITE_P(
    Hostile, DimsTable,
    testing::Values(
        // product overflows 32 bits (it would be 0): no division by zero
        DimsCase{507, "65536,65536", {65536, 65536}, true, false},
        DimsCase{507, "65536,65536,0", {65536, 65536, 0}, true, false},
        // negative products never give a negative size
        DimsCase{507, "-1,0", {-1, 0}, true, false},
        DimsCase{507, "-3,-1,0", {-3, -1, 169}, false, false},
        // 32-bit truncation of a long token
        DimsCase{507, "4294967297,0", {1, 507}, false, false}));

TEST(Dims, DebugText) {
  EXPECT_EQ(dims_to_string({1, 255, 13, 13}), "1,255,13,13,");
  EXPECT_EQ(dims_to_string({}), "");
}

struct LabelCase {
  const char *content;
  std::vector<std::string> labels;
};

TEST(Labels, LineRules) {
  const LabelCase cases[] = {
      {"cat\ndog\n", {"cat", "dog"}},
      {"cat\n\nbird", {"cat", "", "bird"}},
      {"a\r\nb\r\n", {"a\r", "b\r"}},
      {"", {}},
      {"\n", {""}},
      {"only", {"only"}},
  };
  for (const LabelCase &c : cases) {
    std::istringstream in(c.content);
    EXPECT_EQ(read_label_lines(in), c.labels) << testing::PrintToString(c.content);
  }
}

}  // namespace
