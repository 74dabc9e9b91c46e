#include <gtest/gtest.h>

#include <locale>

#include "app/MemoryText.h"

namespace quellmarin {
namespace {

// A locale with "." between groups of three, as German has, built here so
// that the test needs no locale installed on the machine.
struct TDotGroups : std::numpunct<char> {
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(MemoryTextTest, KiloBytesRoundedAndGroupedByTheLocale) {
  const std::locale Dots(std::locale::classic(), new TDotGroups);
  struct Case {
    uint64_t Bytes;
    const char* Text;
  } Cases[] = {
      {2048, "2 KB"},
      {0, "0 KB"},
      {511, "0 KB"},
      {1536, "2 KB"},  // halves round up
      {1024 * 999, "999 KB"},
      {1024 * 1000, "1.000 KB"},
      {16'000'000'000ull, "15.625.000 KB"},
      {UINT64_MAX, "18.014.398.509.481.984 KB"},
  };
  for (const Case& c : Cases) EXPECT_EQ(KiloBytesText(c.Bytes, Dots), c.Text) << c.Bytes;
  // The classic locale has no groups.
  EXPECT_EQ(KiloBytesText(16'000'000'000ull, std::locale::classic()), "15625000 KB");
}

TEST(MemoryTextTest, GroupSizesAndSeparators) {
  struct Case {
    uint64_t Value;
    const char* Separator;
    const char* Grouping;
    const char* Text;
  } Cases[] = {
      {1234567, ",", "\3", "1,234,567"},
      {123456, ",", "\3", "123,456"},
      {1234567, ",", "\3\2", "12,34,567"},        // the last size repeats
      {1234567, ",", "\3\x7f", "1234,567"},       // CHAR_MAX: no more groups
      {1234567, ",", "", "1234567"},
      {1234567, "\u202f", "\3", "1\u202f234\u202f567"},  // a separator of several bytes
      {0, ",", "\3", "0"},
  };
  for (const Case& c : Cases) EXPECT_EQ(GroupDigits(c.Value, c.Separator, c.Grouping), c.Text) << c.Value;
  EXPECT_EQ(KiloBytesText(1024ull * 1234567, " "), "1 234 567 KB");
}

TEST(MemoryTextTest, LoadInPercent) {
  EXPECT_EQ(MemoryLoadText(37), "37 %");
  EXPECT_EQ(MemoryLoadText(0), "0 %");
  EXPECT_EQ(MemoryLoadText(100), "100 %");
}

}  // namespace
}  // namespace quellmarin
