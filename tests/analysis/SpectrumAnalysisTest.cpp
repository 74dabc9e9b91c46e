#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "analysis/SignalAnalysis.h"

namespace quellmarin {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A 2048-sample point at 20,000 samples per second (bin k at k * 9.765625 Hz)
// with an analysis on it.
class SpectrumAnalysisTest : public testing::Test {
protected:
  SpectrumAnalysisTest() {
    Point = new TSpectrumPoint(&Owner);
    Point->SetLength(2000);
    Point->SetSampleTime(0.1024f);
    Analysis = new TFFTAnalysis(&Owner);
    Analysis->SetMPoint(Point);
  }

  float* Samples() { return Point->TimeSignal->Data; }
  float* Amplitude() { return Point->Spectrum->Amplitude; }

  // Sum of sines: (amplitude, bin) pairs, plus a constant level.
  void Fill(std::initializer_list<std::pair<double, int>> tones, double level = 0.0) {
    const int n = Point->TimeSignal->Length;
    for (int j = 0; j < n; ++j) {
      double v = level;
      for (const auto& [a, k] : tones) v += a * std::sin(2.0 * kPi * k * j / n);
      Samples()[j] = static_cast<float>(v);
    }
  }

  TComponent Owner{nullptr};
  TSpectrumPoint* Point;
  TFFTAnalysis* Analysis;
};

TEST_F(SpectrumAnalysisTest, NewAnalysisDefaultsAndSetters) {
  TFFTAnalysis a(nullptr);
  EXPECT_TRUE(a.Dirty());
  EXPECT_TRUE(a.Active());
  EXPECT_EQ(a.MPoint(), nullptr);
  EXPECT_EQ(a.Spectrum, nullptr);
  EXPECT_EQ(a.Window(), wtRectangular);
  EXPECT_EQ(a.SpectrumType(), atNormal);
  EXPECT_EQ(a.LogType(), ltAbsolute);
  EXPECT_FALSE(a.Logarithmic());
  EXPECT_EQ(a.LogDBSpan(), ls120);
  EXPECT_EQ(a.DBSpan, 120);
  EXPECT_FALSE(a.DCDump());
  EXPECT_EQ(a.ScaleFactor(), 1.0f);
  EXPECT_EQ(a.Averaging(), avNone);
  EXPECT_EQ(a.ExponentialDecay(), 5);
  EXPECT_EQ(a.AverageCount, 0u);

  const std::pair<int, int> decays[] = {{0, 1}, {-3, 1}, {1, 1}, {70, 70}};
  for (auto [in, out] : decays) {
    a.SetExponentialDecay(in);
    EXPECT_EQ(a.ExponentialDecay(), out) << in;
  }
  const std::pair<TLogDBSpan, int> spans[] = {{ls60, 60}, {ls90, 90}, {ls120, 120}, {ls150, 150}};
  for (auto [span, db] : spans) {
    a.SetLogDBSpan(span);
    EXPECT_EQ(a.DBSpan, db) << span;
  }

  // Every setter marks the settings changed.
  const std::function<void()> setters[] = {
      [&] { a.SetMPoint(Point); },         [&] { a.SetWindow(wtHanning); },
      [&] { a.SetSpectrumType(atRMS); },   [&] { a.SetLogType(ltRelative); },
      [&] { a.SetLogarithmic(true); },     [&] { a.SetLogDBSpan(ls60); },
      [&] { a.SetDCDump(true); },          [&] { a.SetScaleFactor(2.0f); },
      [&] { a.SetAveraging(avInfiniteLinear); }, [&] { a.SetExponentialDecay(10); },
  };
  Fill({{1.0, 100}});
  for (size_t i = 0; i < std::size(setters); ++i) {
    a.SetMPoint(Point);
    a.SetLogarithmic(false);
    a.SetAveraging(avNone);
    a.Execute();
    ASSERT_FALSE(a.Dirty());
    setters[i]();
    EXPECT_TRUE(a.Dirty()) << "setter " << i;
  }
  a.SetMPoint(nullptr);
  EXPECT_EQ(a.Spectrum, nullptr);
}

TEST_F(SpectrumAnalysisTest, SineReadsItsPeakAmplitudeInItsBinWithEveryWindow) {
  Fill({{1.0, 100}});
  const std::vector<float> before(Samples(), Samples() + 2049);
  // The cosine windows leak only into the two bins on either side; the
  // triangle and the exponential spread over the spectrum.
  struct Case {
    TTimeWindow window;
    float peak;
    bool compact;
  };
  const Case cases[] = {
      {wtRectangular, 1.0f, true}, {wtHanning, 1.0f, true},   {wtHamming, 1.0f, true},    {wtFlatTop, 1.0f, true},
      {wtBartlet, 1.0f, false},    {wtBlackman, 1.0f, true},  {wtExponent, 0.55f, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "window " << c.window);
    Analysis->SetWindow(c.window);
    Analysis->Execute();
    EXPECT_FALSE(Analysis->Dirty());
    const double tolerance = c.window == wtExponent ? 0.01 : 1e-5;
    EXPECT_NEAR(Amplitude()[100], c.peak, tolerance);
    EXPECT_NEAR(Point->Spectrum->MaxValue, c.peak, tolerance);
    if (!c.compact) continue;
    for (int k = 0; k < 1024; ++k) {
      if (std::abs(k - 100) > 2) {
        ASSERT_NEAR(Amplitude()[k], 0.0f, 1e-5) << k;
      }
    }
  }
  EXPECT_EQ(std::vector<float>(Samples(), Samples() + 2049), before) << "samples unchanged";
  EXPECT_FLOAT_EQ(Point->TimeSignal->MaxValue, 1.0f);
  EXPECT_FLOAT_EQ(Point->TimeSignal->MinValue, -1.0f);
}

TEST_F(SpectrumAnalysisTest, DCDumpRemovesTheMeanWhichOtherwiseReadsTwiceInBinZero) {
  Fill({{1.0, 100}}, 0.5);
  Analysis->Execute();
  EXPECT_NEAR(Amplitude()[0], 1.0f, 1e-5);
  EXPECT_NEAR(Amplitude()[100], 1.0f, 1e-5);

  Analysis->SetDCDump(true);
  Analysis->Execute();
  EXPECT_NEAR(Amplitude()[0], 0.0f, 1e-5);
  EXPECT_NEAR(Amplitude()[100], 1.0f, 1e-5);
  // The signal's extremes are those of the stored samples, level included.
  EXPECT_FLOAT_EQ(Point->TimeSignal->MaxValue, 1.5f);
  EXPECT_FLOAT_EQ(Point->TimeSignal->MinValue, -0.5f);
  EXPECT_FLOAT_EQ(Samples()[0], 0.5f);
}

TEST_F(SpectrumAnalysisTest, SpectrumTypesAndScaleFactor) {
  Fill({{1.0, 100}});
  struct Case {
    TSpectrumType type;
    float scale, expected;
  };
  const Case cases[] = {{atNormal, 1, 1}, {atRMS, 1, 0.70710677f}, {atPower, 1, 1},
                        {atPower, 2, 4},  {atNormal, 3, 3},        {atPhase, 1, 1}};
  for (const Case& c : cases) {
    Analysis->SetSpectrumType(c.type);
    Analysis->SetScaleFactor(c.scale);
    Analysis->Execute();
    EXPECT_NEAR(Amplitude()[100], c.expected, 1e-5) << "type " << c.type << " scale " << c.scale;
    EXPECT_EQ(Point->Spectrum->MaxValue, Amplitude()[100]);
  }
}

TEST_F(SpectrumAnalysisTest, DecibelsWithTheSpanAsFloor) {
  Fill({{1.0, 100}, {0.1, 300}});
  Analysis->SetLogarithmic(true);
  Analysis->Execute();
  EXPECT_FALSE(Analysis->Dirty());
  EXPECT_NEAR(Amplitude()[100], 0.0f, 1e-4);
  EXPECT_NEAR(Amplitude()[300], -20.0f, 1e-3);
  EXPECT_FLOAT_EQ(Amplitude()[700], -120.0f);  // empty bin (rounding noise only)
  EXPECT_NEAR(Point->Spectrum->MaxValue, 0.0f, 1e-4);
  EXPECT_FLOAT_EQ(Point->Spectrum->MinValue, -120.0f);

  // Relative to 1 and 60 dB below the largest bin: a peak of 10 reads 20,
  // the floor is -40.
  Fill({{10.0, 100}, {0.1, 300}});
  Analysis->SetLogType(ltRelative);
  Analysis->SetLogDBSpan(ls60);
  Analysis->Execute();
  EXPECT_NEAR(Amplitude()[100], 20.0f, 1e-4);
  EXPECT_FLOAT_EQ(Amplitude()[300], -20.0f);
  EXPECT_FLOAT_EQ(Amplitude()[700], -40.0f);
  EXPECT_FLOAT_EQ(Point->Spectrum->MinValue, -40.0f);

  // A silent record has no level: every bin reads the floor, no NaN.
  Fill({});
  Analysis->Execute();
  for (int k = 0; k < 1024; ++k) ASSERT_FLOAT_EQ(Amplitude()[k], -60.0f) << k;
}

TEST_F(SpectrumAnalysisTest, LinearAveragingKeepsThePlainMean) {
  Analysis->SetAveraging(avInfiniteLinear);
  for (double a : {3.0, 6.0, 9.0}) {
    Fill({{a, 100}});
    Analysis->Execute();
  }
  EXPECT_NEAR(Amplitude()[100], 6.0f, 1e-4);
  EXPECT_EQ(Analysis->AverageCount, 3u);

  // Switching mode continues the count: weight 1/ExponentialDecay from here.
  Analysis->SetAveraging(avInfiniteExponential);
  Analysis->SetExponentialDecay(2);
  Fill({{2.0, 100}});
  Analysis->Execute();
  EXPECT_NEAR(Amplitude()[100], 4.0f, 1e-4);
  EXPECT_EQ(Analysis->AverageCount, 4u);
}

TEST_F(SpectrumAnalysisTest, ExponentialAveragingAndRestartAfterARunWithoutAveraging) {
  Analysis->SetAveraging(avInfiniteExponential);  // decay 5: 80 % old, 20 % new
  Fill({{10.0, 100}});
  Analysis->Execute();
  EXPECT_NEAR(Amplitude()[100], 10.0f, 1e-4);
  Fill({});
  Analysis->Execute();
  EXPECT_NEAR(Amplitude()[100], 8.0f, 1e-4);
  EXPECT_EQ(Analysis->AverageCount, 2u);

  Analysis->SetAveraging(avNone);
  Analysis->Execute();
  EXPECT_EQ(Analysis->AverageCount, 0u);
  EXPECT_NEAR(Amplitude()[100], 0.0f, 1e-5);

  // The next averaging run starts afresh: it copies the record unchanged.
  Analysis->SetAveraging(avInfiniteExponential);
  Fill({{4.0, 100}});
  Analysis->Execute();
  EXPECT_NEAR(Amplitude()[100], 4.0f, 1e-4);
  EXPECT_EQ(Analysis->AverageCount, 1u);

  // A running average stays linear under Logarithmic, and Dirty stays set.
  Analysis->SetLogarithmic(true);
  Fill({{9.0, 100}});
  Analysis->Execute();
  EXPECT_NEAR(Amplitude()[100], 5.0f, 1e-4);
  EXPECT_TRUE(Analysis->Dirty());
  EXPECT_NEAR(Point->Spectrum->MaxValue, 5.0f, 1e-4);
}

TEST_F(SpectrumAnalysisTest, BadInputChangesNothing) {
  struct Case {
    const char* name;
    std::function<void(TSpectrumPoint&, TFFTAnalysis&)> setup;
  };
  const Case cases[] = {
      {"no point", [](TSpectrumPoint&, TFFTAnalysis& a) { a.SetMPoint(nullptr); }},
      {"inactive analysis", [](TSpectrumPoint&, TFFTAnalysis& a) { a.SetActive(false); }},
      {"inactive point", [](TSpectrumPoint& p, TFFTAnalysis&) { p.SetActive(false); }},
      // Records that do not fit the spectrum would make the transform run
      // past the record's buffer.
      {"record resized by hand", [](TSpectrumPoint& p, TFFTAnalysis&) { p.TimeSignal->SetLength(2000); }},
      {"record larger than the spectrum", [](TSpectrumPoint& p, TFFTAnalysis&) { p.TimeSignal->SetLength(8192); }},
  };
  TSpectrum* spectrum = Point->Spectrum;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Point->SetActive(true);
    Analysis->SetActive(true);
    Analysis->SetMPoint(Point);
    Point->TimeSignal->SetLength(2048);
    Fill({{1.0, 100}});
    Analysis->SetAveraging(avNone);
    Analysis->Execute();
    Analysis->SetAveraging(avInfiniteLinear);
    Analysis->Execute();  // one record averaged, spectrum filled
    ASSERT_EQ(Analysis->AverageCount, 1u);
    Analysis->SetWindow(wtHanning);  // Dirty again
    spectrum->MaxValue = spectrum->MinValue = -5.0f;
    Point->TimeSignal->MaxValue = Point->TimeSignal->MinValue = -5.0f;
    const std::vector<float> amplitude(spectrum->Amplitude, spectrum->Amplitude + 1025);
    const std::vector<float> phase(spectrum->Phase, spectrum->Phase + 1025);

    c.setup(*Point, *Analysis);
    const int n = Point->TimeSignal->Length;
    const std::vector<float> samples(Samples(), Samples() + n + 1);
    Analysis->Execute();

    EXPECT_TRUE(Analysis->Dirty());
    EXPECT_EQ(Analysis->AverageCount, 1u);
    EXPECT_EQ(std::vector<float>(spectrum->Amplitude, spectrum->Amplitude + 1025), amplitude);
    EXPECT_EQ(std::vector<float>(spectrum->Phase, spectrum->Phase + 1025), phase);
    EXPECT_EQ(spectrum->MaxValue, -5.0f);
    EXPECT_EQ(Point->TimeSignal->MaxValue, -5.0f);
    EXPECT_EQ(Point->TimeSignal->MinValue, -5.0f);
    EXPECT_EQ(std::vector<float>(Samples(), Samples() + n + 1), samples);
  }
}

TEST(SpectrumAnalysisEmpty, EmptyOrUnsizedPointIsLeftAlone) {
  TComponent owner(nullptr);
  auto* point = new TSpectrumPoint(&owner);
  auto* analysis = new TFFTAnalysis(&owner);
  analysis->SetMPoint(point);
  analysis->Execute();  // no buffers at all
  EXPECT_TRUE(analysis->Dirty());
  point->SetLength(256);  // no SampleTime yet: still empty
  analysis->Execute();
  EXPECT_TRUE(analysis->Dirty());
  EXPECT_EQ(point->TimeSignal->Length, 0);
}

TEST_F(SpectrumAnalysisTest, FollowsThePointWhenItGrowsAndShrinks) {
  for (int length : {256, 8192, 2048}) {
    SCOPED_TRACE(length);
    Point->SetLength(length);
    Fill({{2.0, 10}});
    Analysis->Execute();
    EXPECT_FALSE(Analysis->Dirty());
    EXPECT_EQ(Analysis->Spectrum, Point->Spectrum);
    EXPECT_NEAR(Amplitude()[10], 2.0f, 1e-5);
    EXPECT_NEAR(Point->Spectrum->MaxValue, 2.0f, 1e-5);
  }
}

}  // namespace
}  // namespace quellmarin
