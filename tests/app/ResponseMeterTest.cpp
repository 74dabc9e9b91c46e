// The measured response: white noise through the live filter stage, measured
// from the input and output of the same blocks, against the design the
// engine's response side measures.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "app/LiveFilter.h"
#include "app/ResponseMeter.h"

namespace quellmarin {
namespace {

constexpr int32_t kBlock = 2000;

std::vector<int16_t> Noise(std::mt19937& Gen, int Amplitude = 6000) {
  std::uniform_int_distribution<int> d(-Amplitude, Amplitude);
  std::vector<int16_t> v(kBlock);
  for (auto& s : v) s = static_cast<int16_t>(TFFT::SampleOffset + d(Gen));
  return v;
}

struct Case {
  const char* Name;
  TFilterType Type;
  int32_t Width, Centre;
};

class ResponseMeterTest : public ::testing::TestWithParam<Case> {};

TEST_P(ResponseMeterTest, NoiseThroughTheLiveFilterMatchesTheDesign) {
  const Case C = GetParam();
  TComponent owner(nullptr);
  TFFT engine;
  engine.Init(&owner, kBlock, 20000, ftLowPass, C.Centre);
  engine.SetFilter(C.Type, C.Width, C.Centre);
  engine.UpdateFilterResponse();
  const TFIRAnalysis& design = *engine.FResponseFilter;
  const float* designed = engine.FResponsePoint->Spectrum->Amplitude;
  ASSERT_EQ(engine.FResponsePoint->Spectrum->Length, TResponseMeter::Bins);

  TLiveFilterStage stage;
  stage.SetEnabled(true);
  stage.Publish(std::make_unique<TLiveFilter>(design.Taps().Data, design.Taps().Length));
  TResponseMeter meter;
  meter.Reset((design.Taps().Length - 1) / 2);
  std::mt19937 gen(7);
  for (int b = 0; b < 60; ++b) {
    const std::vector<int16_t> in = Noise(gen);
    std::vector<int16_t> out = in;
    engine.ProcessBlock(out.data(), kBlock, &stage);
    if (b < 2) continue;  // the filter fades in over the first block
    meter.Add(in.data(), out.data(), kBlock);
  }
  ASSERT_EQ(meter.Blocks(), 58);

  // Bin by bin: within 1 dB of the design in the pass band; in the stop band
  // at or below the design's stop-band level (1 dB for the estimate's scatter
  // at those depths), or at the noise floor.
  const double stopDb = -design.StopBandAtt();
  int pass = 0, stop = 0;
  double db = 0;
  // White noise: every bin has energy, but the two lowest are in the window's
  // main lobe around 0 Hz.
  EXPECT_FALSE(meter.GainDb(1, db));
  EXPECT_FALSE(meter.GainDb(2, db));
  for (int32_t k = 3; k < TResponseMeter::Bins; ++k) {
    ASSERT_TRUE(meter.GainDb(k, db)) << k;
    const double want = 20 * std::log10(std::max(designed[k], 1e-12f) / 100.0);
    if (std::fabs(designed[k] - 100.0) <= 100.0 * design.Ripple()) {
      ++pass;
      EXPECT_NEAR(db, want, 1.0) << k * meter.BinHz() << " Hz";
    } else if (want < stopDb) {
      ++stop;
      EXPECT_LT(db, std::max(stopDb, -100.0) + 1.0) << k * meter.BinHz() << " Hz";
    }
  }
  EXPECT_GT(pass, 20);
  EXPECT_GT(stop, 50);

  const TResponseMeter::TFigures f =
      meter.Figures(designed, TResponseMeter::Bins, design.Ripple(), design.StopBandAtt());
  EXPECT_EQ(f.PassBins, pass);
  EXPECT_EQ(f.StopBins, stop);
  // The figures: the ripple to a tenth of a decibel, the attenuation reached.
  EXPECT_LT(f.RippleDb, 0.1);
  EXPECT_GT(f.StopBandAttDb, std::min<double>(design.StopBandAtt(), 100.0) - 1.0);
  std::printf(
      "%s: att %.1f dB (design %.1f), ripple %.3f dB (design %.4f), %d "
      "pass, %d stop bins\n",
      C.Name, f.StopBandAttDb, design.StopBandAtt(), f.RippleDb, RippleToDb(design.Ripple()), f.PassBins, f.StopBins);
}

// A tone has energy only around its own bin: the meter measures there and
// leaves the rest out; silence and a reset leave nothing to show.
TEST(ResponseMeter, BinsWithoutInputEnergyAreLeftOut) {
  TResponseMeter meter;
  std::vector<int16_t> in(kBlock), half(kBlock), silence(kBlock, 170);
  for (int i = 0; i < kBlock; ++i) {
    const double v = 8000 * std::sin(2 * M_PI * 1000.0 * i / 20000.0);
    in[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(v));
    half[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(v / 2));
  }
  double db = 0;
  EXPECT_FALSE(meter.GainDb(102, db));  // no block yet
  meter.Add(silence.data(), silence.data(), kBlock);
  for (int32_t k = 1; k < TResponseMeter::Bins; ++k) ASSERT_FALSE(meter.GainDb(k, db)) << k;
  for (int b = 0; b < 4; ++b) meter.Add(in.data(), half.data(), kBlock);
  const int32_t tone = static_cast<int32_t>(std::lround(1000.0 / meter.BinHz()));
  ASSERT_TRUE(meter.GainDb(tone, db));
  EXPECT_NEAR(db, -6.02, 0.05);
  int measured = 0;
  for (int32_t k = 1; k < TResponseMeter::Bins; ++k) measured += meter.GainDb(k, db);
  EXPECT_LT(measured, 100);  // the tone's window lobe, not the whole spectrum
  EXPECT_FALSE(meter.GainDb(tone + 300, db));
  EXPECT_EQ(meter.Blocks(), 5);
  meter.Reset();
  EXPECT_EQ(meter.Blocks(), 0);
  EXPECT_FALSE(meter.GainDb(tone, db));
}

INSTANTIATE_TEST_SUITE_P(FilterTypes, ResponseMeterTest,
                         ::testing::Values(Case{"LowPass", ftLowPass, 300, 1000},
                                           Case{"BandPass", ftBandPass, 300, 2000},
                                           Case{"HighPass", ftHighPass, 300, 3000}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
}  // namespace quellmarin
