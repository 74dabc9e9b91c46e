#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "app/Engine.h"

namespace quellmarin {
namespace {

constexpr int32_t kBlock = 2000;
constexpr int32_t kRate = 20000;

// Two engines designed alike: one runs the pipeline as it is (FilterBlock's
// block call), the twin filters the same blocks with one FilterSample per
// sample. Their live signals must agree within float rounding of the signal
// level, block after block and across a redesign.
class EngineBlockPath : public ::testing::TestWithParam<int> {
protected:
  void SetUp() override {
    for (TFFT* e : {&engine, &twin}) e->Init(&owner, kBlock, kRate, ftLowPass, 0);
  }

  void Design(int32_t Width) {
    for (TFFT* e : {&engine, &twin}) {
      e->SetFilter(ftLowPass, Width, 1000);
      e->UpdateFilterResponse();  // the delta's response stays in the filter's history
      e->FLiveFilter = e->FResponseFilter;
    }
  }

  std::vector<int16_t> Block(unsigned Seed) const {
    std::mt19937 gen(Seed);
    std::uniform_int_distribution<int> noise(-3000, 3000);
    std::vector<int16_t> b(kBlock);
    for (int i = 0; i < kBlock; ++i)
      b[i] = static_cast<int16_t>(170 + std::lround(8000 * std::sin(0.07 * (Seed * kBlock + i))) + noise(gen));
    return b;
  }

  // The twin's pipeline with the per-sample filter in place of FilterBlock.
  void RunTwin(std::vector<int16_t>& Samples) {
    float* signal = twin.FLivePoint->TimeSignal->Data;
    for (int i = 0; i < kBlock; ++i) signal[i] = static_cast<float>(Samples[i] - TFFT::SampleOffset);
    const TTImeSignal& taps = twin.FLiveFilter->Taps();
    double gain = 0.0;
    for (int k = 0; k < taps.Length; ++k) gain += taps.Data[k];
    const float share = static_cast<float>((gain - 1.0) * TFFT::SampleOffset);
    for (int i = 0; i < kBlock; ++i) signal[i] = twin.FLiveFilter->FilterSample(signal[i]) + share;
    twin.ComputeSpectrum();
    for (int i = 0; i < kBlock; ++i) Samples[i] = ToSample(signal[i]);
  }

  void ExpectSameBlocks(int Blocks, unsigned FirstSeed) {
    const TTImeSignal& taps = engine.FLiveFilter->Taps();
    double sumAbs = 0.0;
    for (int k = 0; k < taps.Length; ++k) sumAbs += std::fabs(taps.Data[k]);
    // The delta's response (height 102 400) is still in the history of the
    // first blocks; float rounding is relative to that level.
    const double tol = 2e-6 * sumAbs * 102400.0;
    for (int b = 0; b < Blocks; ++b) {
      auto mine = Block(FirstSeed + b);
      auto theirs = mine;
      engine.ProcessBlock(mine.data(), kBlock, true);
      RunTwin(theirs);
      const float* x = engine.FLivePoint->TimeSignal->Data;
      const float* y = twin.FLivePoint->TimeSignal->Data;
      for (int i = 0; i < kBlock; ++i) {
        ASSERT_NEAR(x[i], y[i], tol) << taps.Length << " taps, block " << b << ", sample " << i;
        ASSERT_LE(std::abs(mine[i] - theirs[i]), 1) << "block " << b << ", sample " << i;
      }
    }
  }

  TComponent owner{nullptr};
  TFFT engine, twin;
};

TEST_P(EngineBlockPath, FilteredBlocksEqualPerSampleFiltering) {
  Design(GetParam());
  ExpectSameBlocks(4, 1);
  // A redesign starts both filters afresh; the streams stay equal.
  Design(GetParam() == 10 ? 500 : 10);
  ExpectSameBlocks(3, 20);
}

// Transition widths giving the first design's 146 taps, about 600, and the
// longest, 5000.
INSTANTIATE_TEST_SUITE_P(Widths, EngineBlockPath, ::testing::Values(500, 122, 10));

TEST(EngineBlockPathLength, WidthsGiveTheIntendedLengths) {
  TComponent owner(nullptr);
  TFFT engine;
  engine.Init(&owner, kBlock, kRate, ftLowPass, 0);
  for (auto [width, taps] : {std::pair{500, 146}, {10, 5000}}) {
    engine.SetFilter(ftLowPass, width, 1000);
    EXPECT_EQ(engine.FResponseFilter->FilterLength(), taps) << width;
  }
}

}  // namespace
}  // namespace quellmarin
