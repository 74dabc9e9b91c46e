#include <gtest/gtest.h>

#include "platform/MemoryStatus.h"

namespace quellmarin {
namespace {

TEST(MemoryStatusTest, ParsesMemAvailableInBytes) {
  const std::string Text =
      "MemTotal:        8000000 kB\n"
      "MemFree:          500000 kB\n"
      "MemAvailable:    2000000 kB\n"
      "Buffers:          100000 kB\n"
      "Cached:          1000000 kB\n"
      "HugePages_Total:       0\n";
  TMemoryStatus s;
  ASSERT_TRUE(ParseMemInfo(Text, s));
  EXPECT_EQ(s.TotalPhys, 8000000ull * 1024);
  EXPECT_EQ(s.AvailPhys, 2000000ull * 1024);
  EXPECT_EQ(s.MemoryLoad, 75u);
}

TEST(MemoryStatusTest, OlderKernelsCountFreeBuffersAndCache) {
  TMemoryStatus s;
  ASSERT_TRUE(ParseMemInfo("MemTotal: 1000 kB\nMemFree: 100 kB\nBuffers: 50 kB\nCached: 250 kB\n", s));
  EXPECT_EQ(s.AvailPhys, 400ull * 1024);
  EXPECT_EQ(s.MemoryLoad, 60u);
}

TEST(MemoryStatusTest, RefusesTextWithoutTotal) {
  TMemoryStatus s;
  s.MemoryLoad = 7;
  for (const char* Text : {"", "MemAvailable: 10 kB\n", "MemTotal: 0 kB\n", "MemTotal: lots\n", "garbage"}) {
    EXPECT_FALSE(ParseMemInfo(Text, s)) << Text;
    EXPECT_EQ(s.MemoryLoad, 7u);
  }
}

TEST(MemoryStatusTest, LoadRoundsAndStaysWithinRange) {
  struct Case {
    uint64_t Total, Avail;
    uint32_t Load;
  } Cases[] = {
      {0, 0, 0},     {100, 100, 0},  {100, 0, 100},       {100, 63, 37},
      {1000, 995, 1},  // 0.5 % rounds up
      {100, 200, 0},   // more free than there is: all free
      {UINT64_MAX, UINT64_MAX / 2, 50},
  };
  for (const Case& c : Cases) EXPECT_EQ(MemoryLoadPercent(c.Total, c.Avail), c.Load) << c.Total << " " << c.Avail;
}

TEST(MemoryStatusTest, ReadsThisMachine) {
  const TMemoryStatus s = GlobalMemoryStatus();
  EXPECT_GT(s.TotalPhys, 0u);
  EXPECT_GT(s.AvailPhys, 0u);
  EXPECT_LE(s.AvailPhys, s.TotalPhys);
  EXPECT_LE(s.MemoryLoad, 100u);
}

}  // namespace
}  // namespace quellmarin
