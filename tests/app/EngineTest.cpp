#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "app/LiveFilter.h"
#include "app/Utils.h"
#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin {
namespace {

constexpr int32_t kBlock = 2000;
constexpr int32_t kRate = 20000;
constexpr double kBinHz = 20000.0 / 2048.0;

class EngineTest : public ::testing::Test {
protected:
  void SetUp() override { engine.Init(&owner, kBlock, kRate, ftLowPass, 0); }

  // Runs one block through the pipeline and returns the processed samples.
  std::vector<int16_t> Run(std::vector<int16_t> block, bool filter) {
    engine.ProcessBlock(block.data(), kBlock, filter);
    return block;
  }

  static std::vector<int16_t> Tones(std::initializer_list<std::pair<double, double>> tones, int offset,
                                    int64_t start = 0) {
    std::vector<int16_t> block(kBlock);
    for (int i = 0; i < kBlock; ++i) {
      double v = offset;
      for (auto [hz, amp] : tones) v += amp * std::sin(2 * M_PI * hz * double(start + i) / kRate);
      block[i] = static_cast<int16_t>(std::lround(v));
    }
    return block;
  }

  // Largest amplitude of the live spectrum within +-2 bins of Hz.
  float SpectrumAt(double hz) const {
    const int k = static_cast<int>(std::lround(hz / kBinHz));
    float best = 0;
    for (int j = k - 2; j <= k + 2; ++j) best = std::max(best, engine.FLivePoint->Spectrum->Amplitude[j]);
    return best;
  }

  TComponent owner{nullptr};
  TFFT engine;
};

TEST_F(EngineTest, InitBuildsTheGeometry) {
  EXPECT_EQ(engine.FNoSamples, 2000);
  for (TSpectrumPoint* p : {engine.FLivePoint, engine.FResponsePoint}) {
    EXPECT_EQ(p->Length(), 2048);
    EXPECT_FLOAT_EQ(p->SampleTime(), 0.1024f);
    EXPECT_EQ(p->Spectrum->Length, 1024);
    EXPECT_FLOAT_EQ(p->Spectrum->HighFrequency, 10000.0f);
  }
  EXPECT_EQ(engine.FResponseFFT->ExponentialDecay(), 1);
  EXPECT_TRUE(engine.FLiveFFT->DCDump());
  EXPECT_TRUE(engine.FResponseFFT->DCDump());
  EXPECT_NE(engine.FLiveFilter, engine.FResponseFilter);
}

TEST_F(EngineTest, FilterOffReturnsEveryBlockSampleForSample) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> dist(-32768, 32767);
  std::vector<int16_t> block(kBlock);
  for (auto& s : block) s = static_cast<int16_t>(dist(rng));
  block[0] = -32768;
  block[1] = 32767;
  block[2] = 170;
  for (int round = 0; round < 3; ++round) EXPECT_EQ(Run(block, false), block);
}

TEST_F(EngineTest, AllOffsetInputGivesAZeroSignal) {
  Run(std::vector<int16_t>(kBlock, 170), false);
  const float* data = engine.FLivePoint->TimeSignal->Data;
  for (int i = 0; i < 2048; ++i) ASSERT_EQ(data[i], 0.0f) << i;
}

// The offset step scales the input's DC by the filter's gain at 0 Hz, as a
// linear filter of the recorded samples does: silence through a high or band
// pass stays silence, a DC input through a low pass keeps its level.
TEST_F(EngineTest, FilteredOutputCarriesTheInputDcTimesTheFilterGain) {
  const struct {
    TFilterType Type;
    int Dc;
    int Expected;
  } Cases[] = {{ftHighPass, 0, 0}, {ftBandPass, 0, 0}, {ftHighPass, 170, 0}, {ftLowPass, 0, 0}, {ftLowPass, 500, 500}};
  for (const auto& C : Cases) {
    SCOPED_TRACE(::testing::Message() << C.Type << " DC " << C.Dc);
    engine.SetFilter(C.Type, 300, 2000);
    TLiveFilterStage stage;
    stage.SetEnabled(true);
    const TTImeSignal& taps = engine.FResponseFilter->Taps();
    stage.Publish(std::make_unique<TLiveFilter>(taps.Data, taps.Length));
    std::vector<int16_t> block(kBlock, static_cast<int16_t>(C.Dc));
    for (int b = 0; b < 4; ++b) {
      block.assign(kBlock, static_cast<int16_t>(C.Dc));
      engine.ProcessBlock(block.data(), kBlock, &stage);
    }
    for (int16_t s : block) ASSERT_LE(std::abs(s - C.Expected), 1);
  }
}

TEST(EngineOutput, RoundsHalvesToEvenAndSaturates) {
  struct Case { float in; int16_t out; };
  const Case cases[] = {{0.5f, 170},        {1.5f, 172},        {-0.5f, 170},      {2.4f, 172},
                        {32597.0f, 32767},  {32598.0f, 32767},  {1e9f, 32767},     {-32938.0f, -32768},
                        {-32939.0f, -32768}, {-1e9f, -32768}};
  for (const auto& c : cases) EXPECT_EQ(ToSample(c.in), c.out) << c.in;
}

TEST_F(EngineTest, EqualizeCapturesTheNextBlockAndBandsShowOnlyWhatRisesAboveIt) {
  auto block = Tones({{1000, 3000}}, 170);
  engine.FEqualizeRequest = true;
  Run(block, false);
  EXPECT_FALSE(engine.FEqualizeRequest);
  EXPECT_GT(engine.FEqualizeRef[102], 1000.0f);  // 1000 Hz is near bin 102

  engine.FDominantBin = 77;
  engine.FindDominant();
  EXPECT_EQ(engine.FBandCount, 102);
  for (int i = 0; i < 102; ++i) EXPECT_EQ(engine.FBandPeak[i], 0.0f) << i;
  EXPECT_EQ(engine.FMaxAmplitude, 0.0f);
  EXPECT_EQ(engine.FDominantBin, 77);  // kept when nothing is positive

  Run(Tones({{1000, 3000}, {3000, 500}}, 170), false);
  engine.FindDominant();
  EXPECT_EQ(engine.FDominantBin / 10, engine.FMaxBand);
  EXPECT_NEAR(engine.FDominantBin * kBinHz, 3000.0, kBinHz);
  EXPECT_NEAR(engine.FMaxAmplitude, 500.0f, 50.0f);
}

TEST_F(EngineTest, FindDominantTieBreaksAndBandFrequencies) {
  TSpectrum* s = engine.FLivePoint->Spectrum;
  std::fill_n(s->Amplitude, s->Length, 0.0f);
  s->Amplitude[23] = 5.0f;  // band 2: two equal bins, the lower wins
  s->Amplitude[27] = 5.0f;
  s->Amplitude[55] = 5.0f;  // band 5 ties band 2: the lower band wins
  s->Amplitude[61] = 4.0f;
  engine.FindDominant();
  EXPECT_EQ(engine.FBandCount, 102);
  EXPECT_EQ(engine.FMaxBand, 2);
  EXPECT_EQ(engine.FDominantBin, 23);
  EXPECT_EQ(engine.FMaxAmplitude, 5.0f);
  EXPECT_EQ(engine.FBandPeak[5], 5.0f);
  EXPECT_EQ(engine.FBandPeak[6], 4.0f);
  EXPECT_FLOAT_EQ(engine.FBandFreq[1], 10 * kBinHz);
  EXPECT_FLOAT_EQ(engine.FBandFreq[101], 1010 * kBinHz);
}

TEST(EngineBands, FewerThanTenBinsGiveNoBands) {
  TComponent owner(nullptr);
  TFFT engine;
  engine.Init(&owner, 16, 160, ftLowPass, 0);  // 8 bins
  std::fill_n(engine.FLivePoint->Spectrum->Amplitude, 8, 3.0f);
  engine.FDominantBin = 4;
  engine.FMaxAmplitude = 9.0f;
  engine.FindDominant();
  EXPECT_EQ(engine.FBandCount, 0);
  EXPECT_EQ(engine.FMaxAmplitude, 0.0f);
  EXPECT_EQ(engine.FDominantBin, 4);
}

TEST_F(EngineTest, SetFilterSetsTransitionWidthsByType) {
  struct Case { TFilterType type; float bw1, bw2; };
  const Case cases[] = {{ftLowPass, 300, 0}, {ftHighPass, 0, 300}, {ftBandPass, 300, 300}};
  const float bandwidth = engine.FResponseFilter->Bandwidth();
  for (const auto& c : cases) {
    engine.SetFilter(c.type, 300, 2000);
    EXPECT_EQ(engine.FResponseFilter->TransitionBW1(), c.bw1) << c.type;
    EXPECT_EQ(engine.FResponseFilter->TransitionBW2(), c.bw2) << c.type;
    EXPECT_FLOAT_EQ(engine.FResponseFilter->CenterFrequency(), 2000.0f);
    EXPECT_EQ(engine.FResponseFilter->Bandwidth(), bandwidth);  // never touched
    EXPECT_TRUE(engine.FResponseFilter->AutoDesign());
  }
  engine.SetFilter(ftBandStop, 800, 1000);  // other types keep the widths
  EXPECT_EQ(engine.FResponseFilter->TransitionBW1(), 300.0f);
  EXPECT_EQ(engine.FResponseFilter->TransitionBW2(), 300.0f);
}

TEST_F(EngineTest, ResponseOfALowPassReadsPercentGain) {
  engine.SetFilter(ftLowPass, 300, 1000);
  engine.UpdateFilterResponse();
  EXPECT_NE(engine.FLiveFilter, engine.FResponseFilter);  // measured only, never live
  const float* r = engine.FResponsePoint->Spectrum->Amplitude;
  // Start-up designed with centre 0, which narrowed the pass bandwidth to 0:
  // the pass band ends at the centre and the stop band starts 300 Hz above it.
  ASSERT_EQ(engine.FResponseFilter->Bandwidth(), 0.0f);
  for (int k = 1; k < static_cast<int>(950 / kBinHz); ++k) ASSERT_NEAR(r[k], 100.0f, 1.0f) << k;
  for (int k = static_cast<int>(1350 / kBinHz); k < 1024; ++k) ASSERT_LT(r[k], 1.0f) << k;
}

TEST_F(EngineTest, LowPassKeepsTheLowToneAndRemovesTheHighOne) {
  auto block = [](int b) { return Tones({{500, 4000}, {4000, 4000}}, 170, int64_t(b) * kBlock); };
  Run(block(0), false);
  const float low0 = SpectrumAt(500), high0 = SpectrumAt(4000);

  engine.SetFilter(ftLowPass, 300, 1000);
  engine.UpdateFilterResponse();
  const double ripple = engine.FResponseFilter->Ripple();
  const double attenuationDb = engine.FResponseFilter->StopBandAtt();
  // The live path filters with a copy of the measured design.
  TLiveFilterStage stage;
  stage.SetEnabled(true);
  const TTImeSignal& taps = engine.FResponseFilter->Taps();
  stage.Publish(std::make_unique<TLiveFilter>(taps.Data, taps.Length));
  std::vector<int16_t> out;
  for (int b = 1; b <= 4; ++b) {
    out = block(b);
    engine.ProcessBlock(out.data(), kBlock, &stage);
  }

  // The live spectrum is that of the filtered block.
  EXPECT_NEAR(SpectrumAt(500) / low0, 1.0, ripple + 0.01);
  EXPECT_LT(20 * std::log10(SpectrumAt(4000) / high0), -(attenuationDb - 6.0));
  engine.FindDominant();
  EXPECT_EQ(engine.FMaxBand, static_cast<int>(500 / (10 * kBinHz)));
  EXPECT_NEAR(engine.FDominantBin * kBinHz, 500.0, kBinHz);

  // The samples written back carry the 500 Hz tone alone, offset restored.
  double mean = 0;
  int peak = 0;
  for (int16_t s : out) {
    mean += s;
    peak = std::max(peak, std::abs(s - 170));
  }
  EXPECT_NEAR(mean / kBlock, 170.0, 10.0);
  EXPECT_NEAR(peak, 4000, 4000 * (ripple + 0.01));
}

// The live side on one thread and the response side on another share nothing:
// no lock keeps them apart. ThreadSanitizer runs this.
TEST_F(EngineTest, LiveSideAndResponseSideShareNothing) {
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    auto block = Tones({{700, 3000}}, 170);
    for (int i = 0; i < 200 && !stop; ++i) {
      auto copy = block;
      engine.ProcessBlock(copy.data(), kBlock, true);
      engine.FindDominant();
    }
  });
  for (int i = 0; i < 40; ++i) {
    engine.SetFilter(i % 2 ? ftHighPass : ftLowPass, 200 + 10 * i, 1500);
    engine.UpdateFilterResponse();
  }
  stop = true;
  audio.join();
  SUCCEED();
}

}  // namespace
}  // namespace quellmarin

namespace quellmarin {
namespace {

TEST(SetupRecorder, SetsTheSharedFormatAndTheEngineFollowsIt) {
  TVirtualSoundCard card(TVirtualSoundCard::ckManual);
  TMessageQueue queue;
  TComponent owner(nullptr);
  auto* audio = new TAudio(&owner, card, queue);
  SetupRecorder(audio);
  for (const TAudioSettings* s : {static_cast<const TAudioSettings*>(audio->Recorder()),
                                  static_cast<const TAudioSettings*>(audio->Player())}) {
    EXPECT_EQ(s->SampleRate(), 20000);
    EXPECT_EQ(s->NoSamples(), 2000);
    EXPECT_EQ(s->Channels(), Mono);
    EXPECT_EQ(s->BitsPerSample(), _16);
  }
  TFFT engine;
  engine.Init(&owner, audio, ftLowPass, 0);
  EXPECT_EQ(engine.FNoSamples, 2000);
  EXPECT_FLOAT_EQ(engine.FLivePoint->TimeSignal->SamplingRate, 20000.0f);
}

}  // namespace
}  // namespace quellmarin
