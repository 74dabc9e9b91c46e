#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "analysis/Dsp.h"
#include "analysis/SignalAnalysis.h"
#include "dsplib/NDSP.h"
#include "measurement/MeasuringPoint.h"

namespace quellmarin {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kFN = 10000.0f;  // 2048 samples over 0.1024 s: 20 000 samples per second

struct Band {
  TFilterType Type;
  float Center, Width, T1, T2, Ripple;
};

class FirAnalysisTest : public ::testing::Test {
protected:
  TSpectrumPoint* MakePoint(int32_t length, float sampleTime) {
    auto* p = new TSpectrumPoint(&Owner);
    p->SetLength(length);
    p->SetSampleTime(sampleTime);
    return p;
  }
  TFIRAnalysis* MakeFilter(TMeasuringPoint* p) {
    auto* f = new TFIRAnalysis(&Owner);
    f->SetMPoint(p);
    return f;
  }
  // All band properties with one design, the way the engine batches them.
  static void Configure(TFIRAnalysis* f, const Band& b) {
    f->SetAutoDesign(false);
    f->SetFilterType(b.Type);
    f->SetCenterFrequency(b.Center);
    f->SetBandwidth(b.Width);
    f->SetTransitionBW1(b.T1);
    f->SetTransitionBW2(b.T2);
    f->SetRipple(b.Ripple);
    f->SetAutoDesign(true);
    f->Redesign();
  }

  TComponent Owner{nullptr};
  TSpectrumPoint* Point = MakePoint(2048, 0.1024f);
  TFIRAnalysis* Fir = MakeFilter(Point);
};

// |H(f)| of the taps at f Hz, for a Nyquist frequency fN.
double Magnitude(const TTImeSignal& taps, double f, double fN = kFN) {
  const std::complex<double> step = std::polar(1.0, -kPi * f / fN);
  std::complex<double> z = 1.0, h = 0.0;
  for (int32_t n = 0; n < taps.Length; ++n, z *= step) h += static_cast<double>(taps.Data[n]) * z;
  return std::abs(h);
}

bool AllFinite(const float* v, int32_t n) {
  for (int32_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

TEST_F(FirAnalysisTest, StartsUndesignedAndSilent) {
  EXPECT_EQ(Fir->FilterType(), ftLowPass);
  EXPECT_EQ(Fir->CenterFrequency(), 0.0f);
  EXPECT_EQ(Fir->Bandwidth(), 0.0f);
  EXPECT_EQ(Fir->TransitionBW1(), 0.0f);
  EXPECT_EQ(Fir->TransitionBW2(), 0.0f);
  EXPECT_EQ(Fir->StopBandAtt(), 60.0f);
  EXPECT_EQ(Fir->Ripple(), 0.001f);
  EXPECT_EQ(Fir->FilterLength(), 1);
  EXPECT_EQ(Fir->UpSample(), 1);
  EXPECT_EQ(Fir->UpDelay(), 0);
  EXPECT_EQ(Fir->DownSample(), 1);
  EXPECT_EQ(Fir->DownDelay(), 0);
  EXPECT_TRUE(Fir->AutoDesign());
  EXPECT_TRUE(Fir->Active());
  EXPECT_FALSE(Fir->Dirty());
  EXPECT_EQ(Fir->Taps().Length, 0);

  for (int i = 0; i < 2048; ++i) Point->TimeSignal->Data[i] = static_cast<float>(i);
  Fir->Execute();
  EXPECT_EQ(Point->TimeSignal->Data[100], 100.0f);
  EXPECT_EQ(Fir->FilterSample(5.0f), 0.0f);
}

TEST_F(FirAnalysisTest, InactiveFilterOrPointOrMissingPointFiltersNothing) {
  Configure(Fir, {ftLowPass, 1000, 500, 0, 0, 0.001f});  // a single tap of 0.125
  ASSERT_FLOAT_EQ(Fir->FilterSample(1.0f), 0.125f);
  Point->TimeSignal->Data[0] = 8.0f;

  Fir->SetActive(false);
  EXPECT_EQ(Fir->FilterSample(1.0f), 0.0f);
  Fir->Execute();
  EXPECT_EQ(Point->TimeSignal->Data[0], 8.0f);
  Fir->SetActive(true);

  Point->SetActive(false);
  EXPECT_EQ(Fir->FilterSample(1.0f), 0.0f);
  Fir->Execute();
  EXPECT_EQ(Point->TimeSignal->Data[0], 8.0f);
  Point->SetActive(true);

  Fir->SetMPoint(nullptr);
  EXPECT_EQ(Fir->FilterSample(1.0f), 0.0f);
  Fir->Execute();
  Fir->SetMPoint(Point);
  Fir->Execute();
  EXPECT_FLOAT_EQ(Point->TimeSignal->Data[0], 1.0f);
}

TEST_F(FirAnalysisTest, LowPassWithOneTransitionBand) {
  Configure(Fir, {ftLowPass, 1000, 500, 500, 0, 0.001f});
  EXPECT_EQ(Fir->FilterType(), ftLowPass);
  EXPECT_EQ(Fir->FilterLength(), 146);
  EXPECT_EQ(Fir->Taps().Length, 146);
  EXPECT_EQ(Fir->Output().Length, 2048);
  EXPECT_FLOAT_EQ(Fir->Taps().Data[73], 0.15f);  // cut-off 1500 Hz, in the middle of 1250..1750
  EXPECT_FALSE(Fir->Dirty());
}

TEST_F(FirAnalysisTest, BothWidthsZeroGiveASingleTapGain) {
  const struct {
    TFilterType Type;
    float Gain;
  } rows[] = {{ftLowPass, 0.125f}, {ftHighPass, 0.925f}, {ftBandPass, 0.05f}, {ftBandStop, 0.95f}};
  for (const auto& r : rows) {
    Configure(Fir, {r.Type, 1000, 500, 0, 0, 0.001f});
    EXPECT_EQ(Fir->FilterType(), r.Type);
    ASSERT_EQ(Fir->FilterLength(), 1);
    EXPECT_FLOAT_EQ(Fir->Taps().Data[0], r.Gain) << r.Type;
    EXPECT_FLOAT_EQ(Fir->FilterSample(2.0f), 2.0f * r.Gain) << r.Type;
  }
}

TEST_F(FirAnalysisTest, TransitionWidthsChooseTheType) {
  const struct {
    TFilterType Set;
    float T1, T2;
    TFilterType Designed;
  } rows[] = {
      {ftLowPass, 300, 300, ftBandPass}, {ftHighPass, 300, 300, ftBandPass}, {ftBandStop, 300, 300, ftBandStop},
      {ftBandStop, 300, 0, ftLowPass},   {ftBandPass, 0, 300, ftHighPass},   {ftLowPass, 0, 300, ftHighPass},
      {ftHighPass, 300, 0, ftLowPass},   {ftHighPass, 0, 0, ftHighPass},     {ftBandStop, 0, 0, ftBandStop},
  };
  for (const auto& r : rows) {
    Configure(Fir, {r.Set, 2000, 500, r.T1, r.T2, 0.001f});
    EXPECT_EQ(Fir->FilterType(), r.Designed) << "set " << r.Set << " widths " << r.T1 << "/" << r.T2;
  }
}

TEST_F(FirAnalysisTest, RippleAndStopBandAttenuationMirrorEachOther) {
  const float smallest = static_cast<float>(std::pow(10.0, -7.5));
  const struct {
    bool SetRipple;
    float Value, Ripple, Att;
  } rows[] = {
      {true, 0.5f, 0.5f, 6.0206f},    {true, 1.5f, 0.99f, 0.0873f},   {true, -1.0f, 0.001f, 60.0f},
      {true, 1e-9f, smallest, 150.0f}, {true, 0.0f, smallest, 150.0f}, {true, kNaN, 0.001f, 60.0f},
      {true, 0.01f, 0.01f, 40.0f},    {false, 200.0f, smallest, 150.0f}, {false, 40.0f, 0.01f, 40.0f},
      {false, 0.0f, 0.02f, 33.9794f}, {false, -3.0f, 0.02f, 33.9794f}, {false, kNaN, 0.02f, 33.9794f},
  };
  for (const auto& r : rows) {
    Fir->SetRipple(0.02f);
    if (r.SetRipple)
      Fir->SetRipple(r.Value);
    else
      Fir->SetStopBandAtt(r.Value);
    EXPECT_NEAR(Fir->Ripple(), r.Ripple, 1e-5 * r.Ripple) << (r.SetRipple ? "Ripple " : "StopBandAtt ") << r.Value;
    EXPECT_NEAR(Fir->StopBandAtt(), r.Att, 1e-4) << (r.SetRipple ? "Ripple " : "StopBandAtt ") << r.Value;
  }
}

TEST_F(FirAnalysisTest, EveryWriteMarksDirtyAndRedesignsOnlyWithAutoDesign) {
  Configure(Fir, {ftLowPass, 1000, 500, 500, 0, 0.001f});
  const std::vector<std::pair<std::string, std::function<void()>>> writes = {
      {"FilterType", [&] { Fir->SetFilterType(ftLowPass); }},
      {"CenterFrequency", [&] { Fir->SetCenterFrequency(1200); }},
      {"Bandwidth", [&] { Fir->SetBandwidth(300); }},
      {"TransitionBW1", [&] { Fir->SetTransitionBW1(400); }},
      {"TransitionBW2", [&] { Fir->SetTransitionBW2(0); }},
      {"Ripple", [&] { Fir->SetRipple(0.01f); }},
      {"StopBandAtt (ignored value)", [&] { Fir->SetStopBandAtt(0); }},
      {"FilterLength", [&] { Fir->SetFilterLength(7); }},
      {"UpSample", [&] { Fir->SetUpSample(1); }},
      {"UpDelay", [&] { Fir->SetUpDelay(0); }},
      {"DownSample", [&] { Fir->SetDownSample(1); }},
      {"DownDelay", [&] { Fir->SetDownDelay(0); }},
  };
  for (const auto& [name, write] : writes) {
    Fir->SetAutoDesign(false);
    write();
    EXPECT_TRUE(Fir->Dirty()) << name;
    Fir->SetAutoDesign(true);
    EXPECT_TRUE(Fir->Dirty()) << name;  // switching AutoDesign back on does not design
    write();
    EXPECT_FALSE(Fir->Dirty()) << name;
  }
  // Writes of MPoint and AutoDesign leave Dirty alone.
  Fir->SetAutoDesign(false);
  Fir->SetMPoint(Point);
  EXPECT_FALSE(Fir->Dirty());
}

TEST_F(FirAnalysisTest, SetterSubstitutes) {
  Fir->SetAutoDesign(false);
  TFIRAnalysis* f = Fir;
  using Setter = std::function<void(float)>;
  using Getter = std::function<float()>;
  const Setter centreSet = [f](float v) { f->SetCenterFrequency(v); }, widthSet = [f](float v) { f->SetBandwidth(v); },
               t1Set = [f](float v) { f->SetTransitionBW1(v); }, t2Set = [f](float v) { f->SetTransitionBW2(v); };
  const Getter centre = [f] { return f->CenterFrequency(); }, width = [f] { return f->Bandwidth(); },
               t1 = [f] { return f->TransitionBW1(); }, t2 = [f] { return f->TransitionBW2(); };
  const struct {
    const char* Property;
    Setter Set;
    Getter Get;
    float Value, Stored;
  } rows[] = {
      {"CenterFrequency", centreSet, centre, kFN + 2000, 0},
      {"CenterFrequency", centreSet, centre, kFN + 0.5f, kFN + 0.5f},
      {"CenterFrequency", centreSet, centre, -1, 0},
      {"CenterFrequency", centreSet, centre, kNaN, 0},
      {"CenterFrequency", centreSet, centre, 3000, 3000},
      {"Bandwidth", widthSet, width, kFN, 0},
      {"Bandwidth", widthSet, width, kFN - 0.5f, kFN - 0.5f},
      {"Bandwidth", widthSet, width, -5, 0},
      {"Bandwidth", widthSet, width, kNaN, 0},
      {"TransitionBW1", t1Set, t1, -5, 0},
      {"TransitionBW1", t1Set, t1, kNaN, 0},
      {"TransitionBW1", t1Set, t1, 1e6f, 1e6f},
      {"TransitionBW2", t2Set, t2, -0.5f, 0},
      {"TransitionBW2", t2Set, t2, 250, 250},
  };
  for (const auto& r : rows) {
    r.Set(r.Value);
    EXPECT_EQ(r.Get(), r.Stored) << r.Property << " " << r.Value;
  }

  Fir->SetFilterLength(6000);
  EXPECT_EQ(Fir->FilterLength(), 5000);
  Fir->SetFilterLength(3);
  EXPECT_EQ(Fir->FilterLength(), 3);

  // Factors: only positive values count; a phase stays below its factor.
  Fir->SetUpDelay(5);
  EXPECT_EQ(Fir->UpDelay(), 0);
  Fir->SetUpSample(4);
  EXPECT_EQ(Fir->UpDelay(), 0);  // raising the factor does not revisit the phase
  Fir->SetUpSample(0);
  Fir->SetUpSample(-2);
  EXPECT_EQ(Fir->UpSample(), 4);
  Fir->SetUpDelay(3);
  EXPECT_EQ(Fir->UpDelay(), 3);
  Fir->SetUpDelay(-1);
  EXPECT_EQ(Fir->UpDelay(), 0);
  Fir->SetUpDelay(3);
  Fir->SetUpSample(2);
  EXPECT_EQ(Fir->UpDelay(), 1);
  Fir->SetDownSample(3);
  Fir->SetDownDelay(7);
  EXPECT_EQ(Fir->DownDelay(), 2);
  Fir->SetDownSample(1);
  EXPECT_EQ(Fir->DownDelay(), 0);
}

TEST(FirAnalysisWithoutPoint, CentreAndWidthWritesAreLost) {
  TFIRAnalysis fir(nullptr);
  fir.SetCenterFrequency(1000);
  fir.SetBandwidth(500);
  EXPECT_EQ(fir.CenterFrequency(), 0.0f);
  EXPECT_EQ(fir.Bandwidth(), 0.0f);
  EXPECT_FALSE(fir.Dirty());
  fir.SetTransitionBW1(300);  // stored, and marks the filter changed; nothing can be designed
  EXPECT_EQ(fir.TransitionBW1(), 300.0f);
  EXPECT_TRUE(fir.Dirty());
  EXPECT_EQ(fir.Taps().Length, 0);
  EXPECT_EQ(fir.FilterSample(1.0f), 0.0f);
}

TEST_F(FirAnalysisTest, DesignClampsTheBandIntoTheSignalRange) {
  const struct {
    Band In;
    float Center, Width, T1, T2;
    TFilterType Type;
  } rows[] = {
      {{ftLowPass, kFN + 0.5f, 0, 100, 0, 0.001f}, kFN, 0, 0, 0, ftLowPass},   // centre above fN - 1 -> fN
      {{ftLowPass, kFN - 0.5f, 0, 0, 0, 0.001f}, kFN, 0, 0, 0, ftLowPass},
      {{ftLowPass, 1000, 2400, 300, 0, 0.001f}, 1000, 2000, 300, 0, ftLowPass},  // band below 0 Hz
      {{ftLowPass, 9000, 4000, 200, 0, 0.001f}, 9000, 2000, 0, 0, ftLowPass},    // band above fN; no room left
      {{ftLowPass, 5000, kFN - 0.5f, 0, 0, 0.001f}, 5000, kFN - 1, 0, 0, ftLowPass},
      {{ftLowPass, 8000, 1000, 5000, 0, 0.001f}, 8000, 1000, 1500, 0, ftLowPass},
      {{ftHighPass, 1000, 500, 0, 2000, 0.001f}, 1000, 500, 0, 750, ftHighPass},
      {{ftBandPass, 2000, 1000, 3000, kFN - 0.5f, 0.001f}, 2000, 1000, 1500, 7500, ftBandPass},
      {{ftBandStop, 2000, 1000, 1e6f, 1e6f, 0.001f}, 2000, 1000, 1500, 7500, ftBandStop},
  };
  for (const auto& r : rows) {
    Configure(Fir, r.In);
    SCOPED_TRACE(testing::Message() << "centre " << r.In.Center << " width " << r.In.Width << " T1 " << r.In.T1
                                    << " T2 " << r.In.T2);
    EXPECT_EQ(Fir->CenterFrequency(), r.Center);
    EXPECT_EQ(Fir->Bandwidth(), r.Width);
    EXPECT_EQ(Fir->TransitionBW1(), r.T1);
    EXPECT_EQ(Fir->TransitionBW2(), r.T2);
    EXPECT_EQ(Fir->FilterType(), r.Type);
    EXPECT_TRUE(AllFinite(Fir->Taps().Data, Fir->Taps().Length));
  }
}

TEST_F(FirAnalysisTest, LengthLimits) {
  const struct {
    Band In;
    int32_t Length;
  } rows[] = {
      {{ftLowPass, 1000, 500, 500, 0, 0.001f}, 146},
      {{ftLowPass, 1000, 500, 10, 0, 0.001f}, 5000},  // estimate 7244
      {{ftBandPass, 3000, 500, 10, 2000, 0.001f}, 5000},
      {{ftBandPass, 3000, 500, 2000, 500, 0.001f}, 146},  // the narrower band sets the length
      {{ftLowPass, 1000, 500, 500, 0, 0.5f}, 1},       // below 8 dB the estimate is 0
      {{ftLowPass, 1000, 500, 10, 0, 0.9f}, 1},        // and negative
      {{ftLowPass, 0, 0, 1e-6f, 0, 0.001f}, 5000},     // an estimate beyond the integer range is still too long
  };
  for (const auto& r : rows) {
    Configure(Fir, r.In);
    EXPECT_EQ(Fir->FilterLength(), r.Length) << "T1 " << r.In.T1 << " ripple " << r.In.Ripple;
    EXPECT_EQ(Fir->Taps().Length, r.Length);
    EXPECT_TRUE(AllFinite(Fir->Taps().Data, Fir->Taps().Length));
    EXPECT_FALSE(Fir->Dirty());
  }
}

// The magnitude response from the taps keeps within the ripple of the ideal gain
// (1 in the pass bands, 0 in the stop bands). Kaiser's length is an estimate and
// an even length leaves the first tap without a mirror, so right at a band edge
// the first window side lobe reaches up to about 1.45 times the ripple (short
// filters with small ripples); the check therefore leaves out a guard of 10 % of
// the transition width next to each band edge, and allows 5 % over the ripple
// for the peaks further out (the worst of this table is 1.03 times).
class FirResponse : public FirAnalysisTest, public ::testing::WithParamInterface<Band> {};

TEST_P(FirResponse, MagnitudeStaysWithinTheRippleOutsideTheTransitionBands) {
  const Band b = GetParam();
  Configure(Fir, b);
  ASSERT_EQ(Fir->FilterType(), b.Type);
  ASSERT_LT(Fir->FilterLength(), 5000);
  const double c = b.Center, h = b.Width / 2.0, g1 = 0.1 * b.T1, g2 = 0.1 * b.T2;
  double worst = 0.0, worstAt = 0.0;
  for (double f = 0.0; f <= kFN; f += 2.5) {
    int ideal = -1;  // 1 pass, 0 stop, -1 transition (not checked)
    switch (b.Type) {
      case ftLowPass: ideal = f <= c + h - g1 ? 1 : f >= c + h + b.T1 + g1 ? 0 : -1; break;
      case ftHighPass: ideal = f >= c - h + g2 ? 1 : f <= c - h - b.T2 - g2 ? 0 : -1; break;
      case ftBandPass:
      case ftBandStop: {
        const bool inside = f >= c - h + g1 && f <= c + h - g2;
        const bool outside = f <= c - h - b.T1 - g1 || f >= c + h + b.T2 + g2;
        const int in = b.Type == ftBandPass ? 1 : 0;
        ideal = inside ? in : outside ? 1 - in : -1;
        break;
      }
    }
    if (ideal < 0) continue;
    const double dev = std::fabs(Magnitude(Fir->Taps(), f) - ideal);
    if (dev > worst) worst = dev, worstAt = f;
  }
  EXPECT_LE(worst, 1.05 * b.Ripple) << "worst deviation at " << worstAt << " Hz, length " << Fir->FilterLength();
}

INSTANTIATE_TEST_SUITE_P(
    Designs, FirResponse,
    ::testing::Values(Band{ftLowPass, 1000, 500, 500, 0, 0.001f}, Band{ftLowPass, 3000, 1000, 200, 0, 0.01f},
                      Band{ftLowPass, 500, 200, 1000, 0, 1e-4f}, Band{ftLowPass, 6000, 2000, 50, 0, 0.001f},
                      Band{ftLowPass, 2000, 1000, 400, 0, 0.1f}, Band{ftHighPass, 2000, 500, 0, 500, 0.001f},
                      Band{ftHighPass, 7000, 1000, 0, 300, 0.01f}, Band{ftHighPass, 4000, 0, 0, 1000, 1e-5f},
                      Band{ftHighPass, 3000, 400, 0, 800, 0.1f}, Band{ftBandPass, 2000, 500, 300, 300, 0.001f},
                      Band{ftBandPass, 5000, 2000, 500, 200, 0.01f}, Band{ftBandPass, 1000, 200, 100, 100, 0.001f},
                      Band{ftBandPass, 8000, 600, 700, 400, 1e-4f}, Band{ftBandStop, 3000, 1000, 400, 400, 0.001f},
                      Band{ftBandStop, 6000, 500, 600, 300, 0.01f},
                      Band{ftBandStop, 2500, 1500, 200, 900, 1e-4f}));

// Fills the point with the next block of a unit sine at f Hz (20 000 samples/s).
void SineBlock(TSpectrumPoint* p, double f, int block) {
  for (int i = 0; i < p->Length(); ++i)
    p->TimeSignal->Data[i] = static_cast<float>(std::sin(2 * kPi * f * (block * p->Length() + i) / 20000.0));
}

// Amplitude of the f Hz component of a block holding a whole number of cycles.
double Amplitude(const float* y, int n, double f) {
  double s = 0, c = 0;
  for (int i = 0; i < n; ++i) {
    s += y[i] * std::sin(2 * kPi * f * i / 20000.0);
    c += y[i] * std::cos(2 * kPi * f * i / 20000.0);
  }
  return 2.0 * std::hypot(s, c) / n;
}

TEST_F(FirAnalysisTest, SineComesOutWithThePredictedGain) {
  const double bin = 20000.0 / 2048;  // whole cycles per block
  const struct {
    Band B;
    double F;
  } rows[] = {
      {{ftLowPass, 1000, 500, 500, 0, 0.001f}, 60 * bin},    // pass band, gain ~1
      {{ftLowPass, 1000, 500, 500, 0, 0.001f}, 300 * bin},   // stop band, gain <= ripple
      {{ftLowPass, 1000, 500, 500, 0, 0.001f}, 154 * bin},   // transition band, gain ~0.5
      {{ftHighPass, 3000, 500, 0, 800, 0.01f}, 500 * bin},
      {{ftBandPass, 2000, 600, 300, 300, 0.001f}, 205 * bin},
      {{ftBandStop, 2000, 600, 300, 300, 0.001f}, 205 * bin},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "type " << r.B.Type << " at " << r.F << " Hz");
    auto* viaBlock = MakeFilter(Point);
    auto* other = MakePoint(2048, 0.1024f);
    auto* viaSample = MakeFilter(other);
    Configure(viaBlock, r.B);
    Configure(viaSample, r.B);
    const double predicted = Magnitude(viaBlock->Taps(), r.F);
    for (int block = 0; block < 3; ++block) {  // the first block carries the start-up transient
      SineBlock(Point, r.F, block);
      viaBlock->Execute();
      SineBlock(other, r.F, block);
      for (int i = 0; i < 2048; ++i) other->TimeSignal->Data[i] = viaSample->FilterSample(other->TimeSignal->Data[i]);
    }
    EXPECT_NEAR(Amplitude(Point->TimeSignal->Data, 2048, r.F), predicted, 1e-5 + 1e-4 * predicted);
    EXPECT_NEAR(Amplitude(other->TimeSignal->Data, 2048, r.F), predicted, 1e-5 + 1e-4 * predicted);
  }
}

TEST_F(FirAnalysisTest, BlockAndSampleFilteringAgreeAcrossBlocksAndRedesigns) {
  // Reference: every sample through FilterSample. Mixed: blocks through Execute,
  // alternating with blocks through FilterSample. Fresh: created at the redesign.
  auto* refPoint = MakePoint(2048, 0.1024f);
  auto* ref = MakeFilter(refPoint);
  auto* mixed = MakeFilter(Point);
  const Band first{ftBandPass, 2000, 600, 300, 300, 0.001f};
  const Band second{ftLowPass, 3000, 500, 100, 0, 1e-4f};
  Configure(ref, first);
  Configure(mixed, first);
  auto* freshPoint = MakePoint(2048, 0.1024f);
  TFIRAnalysis* fresh = nullptr;

  std::mt19937 gen(42);
  std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
  for (int block = 0; block < 8; ++block) {
    if (block == 4) {
      Configure(ref, second);
      Configure(mixed, second);
      fresh = MakeFilter(freshPoint);
      Configure(fresh, second);
    }
    std::vector<float> x(2048);
    for (float& v : x) v = dist(gen);
    std::vector<float> expected(2048);
    for (int i = 0; i < 2048; ++i) expected[i] = ref->FilterSample(x[i]);
    std::copy(x.begin(), x.end(), Point->TimeSignal->Data);
    if (block % 2 == 0) {
      mixed->Execute();
    } else {
      for (int i = 0; i < 2048; ++i) Point->TimeSignal->Data[i] = mixed->FilterSample(Point->TimeSignal->Data[i]);
    }
    if (fresh != nullptr) {
      std::copy(x.begin(), x.end(), freshPoint->TimeSignal->Data);
      fresh->Execute();
    }
    // Execute may take the FFT path, which agrees within float rounding of
    // the signal level (1000 here).
    for (int i = 0; i < 2048; ++i) {
      ASSERT_NEAR(Point->TimeSignal->Data[i], expected[i], 1e-3f) << "block " << block << " sample " << i;
      if (fresh != nullptr) {
        ASSERT_NEAR(freshPoint->TimeSignal->Data[i], expected[i], 1e-3f) << "block " << block;
      }
    }
  }
}

TEST_F(FirAnalysisTest, MultiRateResizesThePointAndFiltersAtTheNewRate) {
  const struct {
    int32_t Length, Up, UpDelay, Down, DownDelay, OutLength;
  } rows[] = {{1024, 2, 1, 1, 0, 2048}, {2048, 1, 0, 2, 1, 1024}, {1024, 4, 0, 2, 1, 2048}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "up " << r.Up << " down " << r.Down);
    auto* p = MakePoint(r.Length, 0.1024f);
    auto* f = MakeFilter(p);
    f->SetAutoDesign(false);
    f->SetUpSample(r.Up);
    f->SetUpDelay(r.UpDelay);
    f->SetDownSample(r.Down);
    f->SetDownDelay(r.DownDelay);
    Configure(f, {ftLowPass, 1000, 200, 300, 0, 0.001f});
    EXPECT_EQ(f->Output().Length, r.OutLength);
    EXPECT_FALSE(f->Dirty());

    std::vector<float> x(static_cast<size_t>(r.Length));
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(std::sin(0.05 * static_cast<double>(i)));
    std::copy(x.begin(), x.end(), p->TimeSignal->Data);
    f->Execute();
    ASSERT_EQ(p->Length(), r.OutLength);
    ASSERT_EQ(p->TimeSignal->Length, r.OutLength);

    TFirState check;
    nspsFirInitMr(f->Taps().Data, f->Taps().Length, nullptr, r.Up, r.UpDelay, r.Down, r.DownDelay, &check);
    std::vector<float> y(static_cast<size_t>(r.OutLength) + 1);
    ASSERT_EQ(nspsbFir(&check, x.data(), y.data(), r.Length), r.OutLength);
    for (int i = 0; i < r.OutLength; ++i) ASSERT_EQ(p->TimeSignal->Data[i], y[static_cast<size_t>(i)]) << i;
  }
}

// Parameters that cannot give a sensible filter never crash and never leave a
// NaN in the taps or the output; the flags end as described for each case.
TEST_F(FirAnalysisTest, BadParametersAreSurvived) {
  const struct {
    const char* Name;
    std::function<void(TFIRAnalysis*, TSpectrumPoint*)> Apply;
    bool Dirty;
  } rows[] = {
      {"ripple 0", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetRipple(0.0f); }, false},
      {"ripple NaN", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetRipple(kNaN); }, false},
      {"ripple -1", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetRipple(-1.0f); }, false},
      {"attenuation -20", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetStopBandAtt(-20.0f); }, false},
      {"attenuation infinite",
       [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetStopBandAtt(std::numeric_limits<float>::infinity()); }, false},
      {"empty transition bands", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetTransitionBW1(0); }, false},
      {"centre 1e30", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetCenterFrequency(1e30f); }, false},
      {"centre -5", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetCenterFrequency(-5); }, false},
      {"centre NaN", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetCenterFrequency(kNaN); }, false},
      {"width 1e30", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetBandwidth(1e30f); }, false},
      {"transition 1e30", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetTransitionBW1(1e30f); }, false},
      {"transition infinite",
       [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetTransitionBW2(std::numeric_limits<float>::infinity()); }, false},
      {"transition NaN", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetTransitionBW1(kNaN); }, false},
      // fN = 0: the design has nothing to work on; the state restarts from the last taps.
      {"sample time 0",
       [](TFIRAnalysis* f, TSpectrumPoint* p) {
         p->SetSampleTime(0.0f);
         f->SetCenterFrequency(3000);
       },
       false},
      // A factor whose filter cannot be held: the design keeps the old output size,
      // the state keeps the old filter, and the change stays pending.
      {"up-sampling by 1e9", [](TFIRAnalysis* f, TSpectrumPoint*) { f->SetUpSample(1000000000); }, true},
      // Rates with a fractional ratio grow the point to 4096 after one block; the
      // next block no longer fits the output buffer of that design.
      {"up 3, down 2, two blocks",
       [](TFIRAnalysis* f, TSpectrumPoint*) {
         f->SetUpSample(3);
         f->SetDownSample(2);
         f->Execute();
       },
       false},
      // The point grows after the design without a redesign.
      {"point grown", [](TFIRAnalysis*, TSpectrumPoint* p) { p->SetLength(8192); }, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    auto* p = MakePoint(2048, 0.1024f);
    auto* f = MakeFilter(p);
    Configure(f, {ftLowPass, 1000, 500, 500, 0, 0.001f});
    r.Apply(f, p);
    EXPECT_EQ(f->Dirty(), r.Dirty);
    EXPECT_GE(f->FilterLength(), 1);
    EXPECT_LE(f->FilterLength(), 5000);
    EXPECT_TRUE(AllFinite(f->Taps().Data, f->Taps().Length));
    for (int i = 0; i < p->TimeSignal->Length; ++i) p->TimeSignal->Data[i] = static_cast<float>(i % 7);
    f->Execute();
    EXPECT_TRUE(AllFinite(p->TimeSignal->Data, p->TimeSignal->Length));
    EXPECT_TRUE(std::isfinite(f->FilterSample(1.0f)));
  }
}

}  // namespace
}  // namespace quellmarin
