#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "analysis/SignalAnalysis.h"

namespace quellmarin {
namespace {

constexpr double kPi = std::numbers::pi;

// A generator attached to a spectrum point of N samples covering T seconds.
class SignalGen : public testing::Test {
public:
  TComponent Owner{nullptr};
  TSpectrumPoint* Point = new TSpectrumPoint(&Owner);
  TSignal* Gen = new TSignal(&Owner);

  void Attach(int32_t N, float T) {
    Point->SetLength(N);
    Point->SetSampleTime(T);
    Gen->SetMPoint(Point);
  }
  float* X() const { return Point->TimeSignal->Data; }
  std::vector<float> Block() const { return {X(), X() + Point->Length()}; }
  void Fill(float Value) { std::fill(X(), X() + Point->Length(), Value); }
};

TEST_F(SignalGen, DefaultsAndEverySetterMarksDirty) {
  EXPECT_FALSE(Gen->ParameterError());
  EXPECT_FALSE(Gen->Dirty());
  EXPECT_TRUE(Gen->Active());
  EXPECT_EQ(Gen->SignalType(), stSine);
  EXPECT_EQ(Gen->SA1(), 1.0f);
  EXPECT_EQ(Gen->SF1(), 1.0f);
  EXPECT_EQ(Gen->FDV(), 1.0f);
  for (float v : {Gen->SP1(), Gen->DC1(), Gen->SF2(), Gen->SP2(), Gen->SA2(), Gen->DC2(),
                  Gen->SF3(), Gen->SP3(), Gen->SA3(), Gen->DC3()})
    EXPECT_EQ(v, 0.0f);
  EXPECT_FALSE(Gen->RealTime());
  EXPECT_FALSE(Gen->AdjustPhase());
  EXPECT_FALSE(Gen->Harmonic());
  EXPECT_EQ(Gen->MPoint(), nullptr);

  const std::vector<std::function<void(TSignal&)>> setters = {
      [](TSignal& g) { g.SetRealTime(false); },   [](TSignal& g) { g.SetAdjustPhase(false); },
      [](TSignal& g) { g.SetFDV(1); },            [](TSignal& g) { g.SetSF1(1); },
      [](TSignal& g) { g.SetSP1(0); },            [](TSignal& g) { g.SetSA1(1); },
      [](TSignal& g) { g.SetDC1(0); },            [](TSignal& g) { g.SetSF2(0); },
      [](TSignal& g) { g.SetSP2(0); },            [](TSignal& g) { g.SetSA2(0); },
      [](TSignal& g) { g.SetDC2(0); },            [](TSignal& g) { g.SetSF3(0); },
      [](TSignal& g) { g.SetSP3(0); },            [](TSignal& g) { g.SetSA3(0); },
      [](TSignal& g) { g.SetDC3(0); },            [](TSignal& g) { g.SetSignalType(stSine); },
      [](TSignal& g) { g.SetMPoint(nullptr); },   [](TSignal& g) { g.SetHarmonic(false); },
  };
  for (size_t k = 0; k < setters.size(); ++k) {
    TSignal g(nullptr);
    setters[k](g);
    EXPECT_TRUE(g.Dirty()) << "setter " << k;
  }

  Gen->SetFDV(0);
  EXPECT_EQ(Gen->FDV(), 1.0f);
  Gen->SetFDV(-2);
  EXPECT_EQ(Gen->FDV(), -2.0f);
}

// One row: a configuration on a point of N samples over T seconds, and the
// expected sample i computed from time t = i T / N.
struct ShapeCase {
  std::string Name;
  int32_t N;
  float T;
  std::function<void(TSignal&)> Setup;
  std::function<double(int i, double t)> Expected;
};

double Sin(double Hz, double t, double Degrees = 0) {
  return std::sin(2 * kPi * Hz * t + Degrees * kPi / 180);
}

double Triangle(double Turns) {  // unit triangle starting at 0 going up
  const double r = std::fmod(Turns, 1.0) * 360;
  if (r < 90) return r / 90;
  if (r < 270) return 2 - r / 90;
  return r / 90 - 4;
}

TEST_F(SignalGen, EachSignalTypeWritesItsShape) {
  const std::vector<ShapeCase> cases = {
      {"unit sine by default", 256, 1, [](TSignal&) {},
       [](int, double t) { return Sin(1, t); }},
      {"three sines with offsets, FDV and a short record", 512, 0.25f,
       [](TSignal& g) {
         g.SetSF1(40); g.SetSP1(30); g.SetSA1(2); g.SetDC1(0.5f);
         g.SetSF2(100); g.SetSP2(-45); g.SetSA2(0.5f); g.SetDC2(0.25f);
         g.SetSF3(160); g.SetSP3(90); g.SetSA3(0.25f); g.SetDC3(-1);
         g.SetFDV(2);
       },
       [](int, double t) {
         return 2 * Sin(20, t, 30) + 0.5 * Sin(50, t, -45) + 0.25 * Sin(80, t, 90) - 0.25;
       }},
      {"harmonics of SF1 keep their own phases and amplitudes", 256, 1,
       [](TSignal& g) {
         g.SetHarmonic(true); g.SetSF1(3);
         g.SetSF2(50); g.SetSA2(0.5f); g.SetSP2(90);
         g.SetSF3(70); g.SetSA3(0.25f); g.SetSP3(10);
       },
       [](int, double t) { return Sin(3, t) + 0.5 * Sin(6, t, 90) + 0.25 * Sin(9, t, 10); }},
      {"sinc pulses: k inside the sine only, x[0] = 0", 256, 1,
       [](TSignal& g) { g.SetSignalType(stImpuls); g.SetSF1(2); g.SetSA1(3); g.SetDC1(0.5f); g.SetSF2(5); g.SetSA2(1); },
       [](int i, double t) {
         if (i == 0) return 0.0;
         const double y1 = 2 * 2 * t, y2 = 2 * 5 * t;  // SA3 0: no third pulse
         return 3 * std::sin(kPi * y1) / (kPi * y1) + std::sin(2 * kPi * y2) / (kPi * y2) + 0.5;
       }},
      {"triangle", 256, 1, [](TSignal& g) { g.SetSignalType(stTriangle); g.SetSF1(4); g.SetSA1(2); },
       [](int, double t) { return 2 * Triangle(4 * t); }},
      {"triangle from 90 degrees ignores offsets", 256, 1,
       [](TSignal& g) { g.SetSignalType(stTriangle); g.SetSF1(1); g.SetSP1(90); g.SetDC1(5); },
       [](int, double t) { return Triangle(t + 0.25); }},
      {"square with an offset", 256, 1,
       [](TSignal& g) { g.SetSignalType(stSquare); g.SetSF1(3); g.SetDC1(0.5f); },
       [](int i, double) { return std::fmod(i * 3 * 360.0 / 256, 360) < 180 ? 1.5 : -0.5; }},
      {"square runs at SF1 * T hertz", 256, 2,
       [](TSignal& g) { g.SetSignalType(stSquare); g.SetSF1(1); },
       [](int i, double) { return (i / 32) % 2 == 0 ? 1.0 : -1.0; }},
      {"chirp sweeps SF1 to SF2 over the block", 1024, 1,
       [](TSignal& g) { g.SetSignalType(stChirp); g.SetSF1(10); g.SetSF2(50); g.SetSA1(2); g.SetDC1(1); },
       [](int, double t) { return 2 * std::sin(2 * kPi * (10 * t + 40 * t * t / 2)) + 1; }},
      {"product of two sines", 256, 1,
       [](TSignal& g) { g.SetSignalType(stMultiply); g.SetSF1(2); g.SetSA1(2); g.SetSF2(7); g.SetSA2(0.5f); g.SetDC1(9); },
       [](int, double t) {
         const double s1 = 2 * Sin(2, t), s2 = 0.5 * Sin(7, t);
         return s1 * s2 + s1 + s2;
       }},
      {"product without a second sine is the first", 256, 1,
       [](TSignal& g) { g.SetSignalType(stMultiply); g.SetSF1(2); g.SetSA2(3); },
       [](int, double t) { return Sin(2, t); }},
      {"product without a first amplitude is the second", 256, 1,
       [](TSignal& g) { g.SetSignalType(stMultiply); g.SetSA1(0); g.SetDC1(1); g.SetSF2(5); g.SetSA2(3); g.SetSP2(45); },
       [](int, double t) { return 3 * Sin(5, t, 45); }},
      {"delta", 2048, 0.1024f,
       [](TSignal& g) { g.SetSignalType(stDelta); g.SetSA1(100); },
       [](int i, double) { return i == 1024 ? 2048 * 100 / 2.0 : 0.0; }},
      {"delta on its offsets", 16, 1,
       [](TSignal& g) { g.SetSignalType(stDelta); g.SetSA1(0.5f); g.SetDC1(1); g.SetDC2(2); g.SetDC3(-0.5f); },
       [](int i, double) { return i == 8 ? 2.5 + 4 : 2.5; }},
  };
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TComponent owner(nullptr);
    auto* point = new TSpectrumPoint(&owner);
    point->SetLength(c.N);
    point->SetSampleTime(c.T);
    auto* gen = new TSignal(&owner);
    gen->SetMPoint(point);
    c.Setup(*gen);
    std::fill(point->TimeSignal->Data, point->TimeSignal->Data + c.N, 9.0f);  // every sample is written
    gen->Execute();
    EXPECT_FALSE(gen->ParameterError());
    EXPECT_FALSE(gen->Dirty());
    const float* x = point->TimeSignal->Data;
    for (int i = 0; i < c.N; ++i) {
      const double want = c.Expected(i, i * double{c.T} / c.N);
      ASSERT_NEAR(x[i], want, 1e-4 * std::max(1.0, std::fabs(want))) << "sample " << i;
    }
  }
}

TEST_F(SignalGen, DefaultSineOnUnitRecordHitsKnownSample) {
  Attach(256, 1);
  Gen->Execute();
  EXPECT_NEAR(X()[1], 0.0245412f, 1e-7);
  EXPECT_NEAR(X()[64], 1.0f, 1e-7);
}

TEST_F(SignalGen, SincPulseSetsZeroFrequenciesToOne) {
  Attach(64, 1);
  Gen->SetSignalType(stImpuls);
  Gen->SetSF1(0);
  Gen->SetDC1(1);  // keeps SF1 = 0 from failing the entry test
  Gen->Execute();
  EXPECT_FALSE(Gen->ParameterError());
  EXPECT_EQ(Gen->SF1(), 1.0f);
  EXPECT_EQ(Gen->SF2(), 1.0f);
  EXPECT_EQ(Gen->SF3(), 1.0f);
  EXPECT_EQ(X()[0], 0.0f);
}

TEST_F(SignalGen, TriangleAndSquareLeaveNegativePhasesUntouched) {
  for (TSignalType type : {stTriangle, stSquare}) {
    Attach(256, 1);
    Gen->SetSignalType(type);
    Gen->SetSP1(-90);
    Fill(7);
    Gen->Execute();
    EXPECT_FALSE(Gen->ParameterError());
    // Phase = 360 i / 256 - 90 degrees: negative for the first 64 samples.
    for (int i = 0; i < 64; ++i) ASSERT_EQ(X()[i], 7.0f) << i;
    EXPECT_NEAR(X()[64], type == stTriangle ? 0.0f : 1.0f, 1e-6);
  }
}

TEST_F(SignalGen, RealTimeContinuesTheSineFamilyAcrossBlocks) {
  // Two blocks with RealTime equal one block of twice the length; the chirp
  // always starts afresh.
  struct Case { TSignalType Type; bool Continues; };
  for (Case c : {Case{stSine, true}, Case{stMultiply, true}, Case{stImpuls, true}, Case{stChirp, false}}) {
    SCOPED_TRACE(c.Type);
    TComponent owner(nullptr);
    auto* longPoint = new TSpectrumPoint(&owner);
    longPoint->SetLength(512);
    longPoint->SetSampleTime(2);
    auto* ref = new TSignal(&owner);
    ref->SetMPoint(longPoint);
    Attach(256, 1);
    for (TSignal* g : {ref, static_cast<TSignal*>(Gen)}) {
      g->SetSignalType(c.Type);
      g->SetSF1(3.3f);  // blocks hold no whole number of cycles
      g->SetSP1(20);
      g->SetSF2(5.7f);
      g->SetSA2(0.5f);
    }
    ref->Execute();
    Gen->SetRealTime(true);
    Gen->Execute();
    const std::vector<float> first = Block();
    Gen->Execute();
    const std::vector<float> second = Block();
    if (!c.Continues) {
      EXPECT_EQ(first, second);
      continue;
    }
    for (int i = 1; i < 256; ++i) {
      ASSERT_NEAR(first[i], longPoint->TimeSignal->Data[i], 1e-5) << i;
      ASSERT_NEAR(second[i], longPoint->TimeSignal->Data[256 + i], 1e-5) << i;
    }

    // Writing RealTime, either value, restarts at index 0.
    Gen->SetRealTime(true);
    Gen->Execute();
    EXPECT_EQ(Block(), first);
    Gen->SetRealTime(false);
    Gen->Execute();
    Gen->Execute();
    EXPECT_EQ(Block(), first);
  }
}

TEST_F(SignalGen, InactivePointOrGeneratorChangesNothing) {
  Attach(256, 1);
  Gen->SetSF1(1.25f);  // a block is not a whole number of cycles
  Gen->SetRealTime(true);
  Gen->Execute();
  Gen->SetSA1(0);  // would fail (SA1 = DC1 = 0) if it ran
  Gen->SetAdjustPhase(true);
  Fill(3);

  Point->SetActive(false);
  Gen->Execute();
  Point->SetActive(true);
  Gen->SetActive(false);
  Gen->Execute();
  EXPECT_EQ(Block(), std::vector<float>(256, 3.0f));
  EXPECT_FALSE(Gen->ParameterError());
  EXPECT_TRUE(Gen->Dirty());

  // The running index did not move either: the next block is the second one.
  Gen->SetActive(true);
  Gen->SetSA1(1);
  Gen->SetAdjustPhase(false);
  Gen->Execute();
  for (int i = 0; i < 256; ++i)
    ASSERT_NEAR(X()[i], Sin(1.25, (256 + i) / 256.0), 1e-5) << i;
}

TEST_F(SignalGen, AdjustPhaseNudgesTheMiddleSampleAfterEveryBlock) {
  struct Case { TSignalType Type; float DC1, DC2, SA1; bool Fails; };
  for (Case c : {Case{stSine, 0, 0, 1, false}, Case{stDelta, 0, 0, 2, false},
                 Case{stRandomNoise, -10, 10, 1, false}, Case{stGaussNoise, 0, 0, 1, false},
                 Case{stSquare, 0, 0, 0, true}}) {
    SCOPED_TRACE(c.Type);
    Attach(256, 1);
    Gen->SetSignalType(c.Type);
    Gen->SetDC1(c.DC1);
    Gen->SetDC2(c.DC2);
    Gen->SetSA1(c.SA1);
    Fill(0.25f);
    Gen->SetAdjustPhase(false);
    Gen->Execute();
    const float plain = X()[128];
    Fill(0.25f);
    Gen->SetAdjustPhase(true);
    Gen->Execute();
    EXPECT_EQ(Gen->ParameterError(), c.Fails);
    if (c.Type == stRandomNoise) {
      EXPECT_GE(X()[128], -1.0f + 0.001f);  // noise differs per block; only the bound holds
      EXPECT_LE(X()[128], 1.0f + 0.001f);
    } else {
      EXPECT_FLOAT_EQ(X()[128], plain + 0.001f);
    }
  }
}

TEST_F(SignalGen, UnusableEntriesFailWithFlagsAndUntouchedSamples) {
  struct Case {
    std::string Name;
    std::function<void(SignalGen&)> Setup;
  };
  const std::vector<Case> cases = {
      {"no measuring point", [](SignalGen& f) { f.Gen->SetMPoint(nullptr); }},
      {"SampleTime 0", [](SignalGen& f) { f.Point->SetSampleTime(0); }},
      {"Length 0", [](SignalGen& f) { f.Point->SetLength(0); }},
      {"negative SampleTime over an old buffer",
       [](SignalGen& f) { f.Point->SetSampleTime(-1); f.Point->SetLength(4096); }},
      {"NaN SampleTime", [](SignalGen& f) { f.Point->SetSampleTime(std::nanf("")); }},
      {"SA1 and DC1 both 0", [](SignalGen& f) { f.Gen->SetSA1(0); }},
      {"SF1 and DC1 both 0", [](SignalGen& f) { f.Gen->SetSF1(0); }},
      {"infinite amplitude", [](SignalGen& f) { f.Gen->SetSA2(INFINITY); }},
      {"NaN frequency", [](SignalGen& f) { f.Gen->SetSF1(std::nanf("")); }},
      {"NaN FDV", [](SignalGen& f) { f.Gen->SetFDV(std::nanf("")); }},
      {"sum beyond the float range",
       [](SignalGen& f) { f.Gen->SetSA1(3e38f); f.Gen->SetSA2(3e38f); f.Gen->SetSF2(1); f.Gen->SetSP1(90); f.Gen->SetSP2(90); }},
      {"delta beyond the float range", [](SignalGen& f) { f.Gen->SetSignalType(stDelta); f.Gen->SetSA1(3e37f); }},
      {"triangle with infinite phase", [](SignalGen& f) { f.Gen->SetSignalType(stTriangle); f.Gen->SetSP1(INFINITY); }},
      {"uniform noise with NaN bound", [](SignalGen& f) { f.Gen->SetSignalType(stRandomNoise); f.Gen->SetDC2(std::nanf("")); f.Gen->SetDC1(1); }},
      {"Gaussian noise with infinite mean", [](SignalGen& f) { f.Gen->SetSignalType(stGaussNoise); f.Gen->SetDC1(INFINITY); f.Gen->SetDC2(1); }},
      {"unknown signal type", [](SignalGen& f) { f.Gen->SetSignalType(static_cast<TSignalType>(9)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Gen->SetActive(true);
    Gen->SetSignalType(stSine);
    Gen->SetSA1(1); Gen->SetSF1(1); Gen->SetDC1(0); Gen->SetFDV(1); Gen->SetSP1(0);
    Gen->SetSA2(0); Gen->SetSF2(0); Gen->SetDC2(0); Gen->SetSP2(0);
    Point->SetLength(256);
    Point->SetSampleTime(1);
    Attach(256, 1);
    Gen->Execute();
    ASSERT_FALSE(Gen->ParameterError());
    Fill(0.5f);

    c.Setup(*this);
    Gen->Execute();
    EXPECT_TRUE(Gen->ParameterError());
    EXPECT_TRUE(Gen->Dirty());
    for (int i = 0; i < Point->TimeSignal->Length; ++i)
      ASSERT_TRUE(std::isfinite(X()[i])) << i;

    // A usable setting recovers on the next block.
    Point->SetLength(256);
    Point->SetSampleTime(1);
    Gen->SetMPoint(Point);
    Gen->SetSignalType(stSine);
    Gen->SetSA1(1); Gen->SetSF1(1); Gen->SetSA2(0); Gen->SetFDV(1); Gen->SetSP1(0);
    Gen->SetDC1(0); Gen->SetDC2(0);
    Gen->Execute();
    EXPECT_FALSE(Gen->ParameterError());
    EXPECT_FALSE(Gen->Dirty());
  }
}

TEST_F(SignalGen, ZeroAmplitudeAndOffsetFailEverySignalType) {
  for (int type = stSine; type <= stGaussNoise; ++type) {
    SCOPED_TRACE(type);
    for (bool zeroFrequency : {false, true}) {
      Attach(64, 1);
      Gen->SetSignalType(static_cast<TSignalType>(type));
      Gen->SetDC1(0);
      Gen->SetDC2(10);
      Gen->SetSA1(zeroFrequency ? 1.0f : 0.0f);
      Gen->SetSF1(zeroFrequency ? 0.0f : 1.0f);
      Fill(0.5f);
      Gen->Execute();
      EXPECT_TRUE(Gen->ParameterError());
      EXPECT_TRUE(Gen->Dirty());
      EXPECT_EQ(Block(), std::vector<float>(64, 0.5f));
    }
  }
}

// A point whose time signal does not match its Length.
class MismatchedPoint : public TMeasuringPoint {
public:
  explicit MismatchedPoint(int32_t SignalLength) : TMeasuringPoint(nullptr) {
    FLength = 1024;
    FSampleTime = 1;
    TimeSignal = &Signal;
    if (SignalLength > 0) Signal.SetLength(SignalLength);
  }
  void SetSampleTime(float Value) override { FSampleTime = Value; }
  void SetLength(int32_t Value) override { FLength = Value; }
  void UpdateBuffers() override {}
  TTImeSignal Signal;
};

TEST_F(SignalGen, PointWithTooShortOrMissingSamplesFails) {
  for (int32_t length : {0, 16}) {
    MismatchedPoint point(length);
    Gen->SetMPoint(&point);
    Gen->SetSignalType(stDelta);
    Gen->SetAdjustPhase(true);
    Gen->Execute();  // AddressSanitizer catches a write past the 16 samples
    EXPECT_TRUE(Gen->ParameterError());
    EXPECT_TRUE(Gen->Dirty());
    Gen->SetMPoint(nullptr);
  }
}

TEST_F(SignalGen, UniformNoiseStaysWithinItsBounds) {
  Attach(65536, 1);
  Gen->SetSignalType(stRandomNoise);
  Gen->SetDC1(-10);
  Gen->SetDC2(10);
  Gen->Execute();
  EXPECT_FALSE(Gen->ParameterError());
  double mean = 0;
  for (float v : Block()) {
    ASSERT_GE(v, -1.0f);
    ASSERT_LE(v, 1.0f);
    mean += v;
  }
  EXPECT_NEAR(mean / 65536, 0.0, 0.02);
}

TEST_F(SignalGen, GaussianNoiseHasMeanDC1AndDeviationDC2OverTen) {
  Attach(65536, 1);
  Gen->SetSignalType(stGaussNoise);
  Gen->SetDC1(5);
  Gen->SetDC2(20);
  Gen->Execute();
  EXPECT_FALSE(Gen->ParameterError());
  double mean = 0, square = 0;
  for (float v : Block()) mean += v;
  mean /= 65536;
  for (float v : Block()) square += (v - mean) * (v - mean);
  EXPECT_NEAR(mean, 0.5, 0.03);
  EXPECT_NEAR(std::sqrt(square / 65535), 2.0, 0.03);
}

TEST_F(SignalGen, UnusableNoiseParametersReportOnlyThroughInitRandom) {
  struct Case { TSignalType Type; float DC1, DC2; };
  for (Case c : {Case{stRandomNoise, 3, 3}, Case{stGaussNoise, 1, 0}, Case{stGaussNoise, 1, -2}}) {
    SCOPED_TRACE(c.Type);
    Attach(64, 1);
    Gen->SetSignalType(c.Type);
    Gen->SetDC1(c.DC1);
    Gen->SetDC2(c.DC2);
    Gen->InitRandom();
    EXPECT_TRUE(Gen->ParameterError());
    Fill(0.5f);
    Gen->Execute();  // writes nothing, and ends as a success
    EXPECT_FALSE(Gen->ParameterError());
    EXPECT_FALSE(Gen->Dirty());
    EXPECT_EQ(Block(), std::vector<float>(64, 0.5f));
  }
  Gen->SetSignalType(stDelta);
  Gen->InitRandom();  // nothing to prepare for other types
  EXPECT_FALSE(Gen->ParameterError());
}

}  // namespace
}  // namespace quellmarin
