// The dominant frequency in hertz: clean tones through the live loop's
// processing land within half a hertz of their frequency, wherever they fall
// between the spectrum's 9.77 Hz bins and its 97.7 Hz bands.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "LoopRig.h"
#include "app/LiveLoop.h"
#include "app/ToneFrequency.h"
#include "app/Utils.h"
#include "platform/MessageQueue.h"
#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin {
namespace {

constexpr double kBinHz = 20000.0 / 2048;

class DominantHz : public TLoopRig {
protected:
  // One 2000-sample block at 20 kHz (offset 170) through the loop's processing.
  const TLiveSnapshot& Run(const std::vector<std::pair<double, double>>& Tones, double Phase = 0.3) {
    std::vector<int16_t> b(2000);
    for (size_t i = 0; i < b.size(); ++i) {
      double v = TFFT::SampleOffset;
      for (auto [f, a] : Tones) v += a * std::sin(2 * M_PI * f * static_cast<double>(i) / 20000.0 + Phase);
      b[i] = static_cast<int16_t>(std::lround(v));
    }
    loop->ProcessBlockNow(b.data(), static_cast<int32_t>(b.size()));
    const TLiveSnapshot* s = loop->TakeSnapshot();
    EXPECT_NE(s, nullptr);
    return *s;
  }
};

TEST_F(DominantHz, CleanTonesWithinHalfAHertz) {
  const double Tones[] = {
      100.0, 100.3,           // the low end
      10.5 * kBinHz,          // halfway between two bins
      976.0, 977.2,           // either side of a band edge (bin 100)
      997.0, 1000.0,          // the 1 kHz tone, read as 996 in bins
      410.5 * kBinHz, 4004.0, // between bins, and the 4 kHz tone
      5000.0 + kBinHz / 3,
      8999.5, 9000.0,         // the high end
  };
  for (double f : Tones) {
    for (double phase : {0.0, 1.3}) {
      SCOPED_TRACE(testing::Message() << f << " Hz, phase " << phase);
      const TLiveSnapshot& s = Run({{f, 3000}}, phase);
      EXPECT_NEAR(s.DominantHz, f, 0.5);
      // The bin it was refined from.
      EXPECT_NEAR(s.DominantBin * kBinHz, f, kBinHz);
    }
  }
}

TEST_F(DominantHz, StrongestToneOfAMixAndQuietLevels) {
  struct Case {
    std::vector<std::pair<double, double>> Tones;
    double Expected;
  };
  const Case Cases[] = {
      {{{500.0, 3000}, {4000.0, 1000}}, 500.0},
      {{{500.0, 1000}, {4000.0, 3000}}, 4000.0},
      {{{1234.5, 3000}, {1400.0, 1500}}, 1234.5},  // a weaker tone 17 bins off
      {{{2500.0, 40}}, 2500.0},                    // a quiet tone, 16-bit rounding noise around it
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Expected);
    EXPECT_NEAR(Run(C.Tones).DominantHz, C.Expected, 0.5);
  }
}

TEST_F(DominantHz, SilenceKeepsTheLastValue) {
  EXPECT_NEAR(Run({{1500.0, 3000}}).DominantHz, 1500.0, 0.5);
  EXPECT_NEAR(Run({}).DominantHz, 1500.0, 0.5);
}

TEST(ToneFrequency, NothingToSearchGivesTheCoarseValue) {
  const float x[4] = {1, -1, 1, -1};
  EXPECT_EQ(ToneFrequency(x, 1, 20000, 123.0, 10), 123.0);
  EXPECT_EQ(ToneFrequency(x, 4, 0, 123.0, 10), 123.0);
  EXPECT_EQ(ToneFrequency(x, 4, 20000, 123.0, 0), 123.0);
  EXPECT_EQ(ToneFrequency(nullptr, 4, 20000, 123.0, 10), 123.0);
  // The search stays within 0 .. half the rate.
  const double top = ToneFrequency(x, 4, 20000, 10000.0, 50);
  EXPECT_LE(top, 10000.0);
  EXPECT_GE(top, 9950.0);
}

}  // namespace
}  // namespace quellmarin
