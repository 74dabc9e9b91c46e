#include <gtest/gtest.h>

#include "MessageCapture.h"
#include "measurement/MeasuringPoint.h"

namespace quellmarin {
namespace {

TEST(SpectrumPoint, NewPointIsEmptyAndActive) {
  TSpectrumPoint p(nullptr);
  EXPECT_EQ(p.Length(), 0);
  EXPECT_EQ(p.SampleTime(), 0.0f);
  EXPECT_TRUE(p.Active());
  EXPECT_FALSE(p.Dirty());
  EXPECT_EQ(p.TimeSignal->Length, 0);
  EXPECT_EQ(p.TimeSignal->Data, nullptr);
  EXPECT_EQ(p.Spectrum->Length, 0);
  EXPECT_EQ(p.Spectrum->Amplitude, nullptr);
}

TEST(SpectrumPoint, LengthRounding) {
  struct Case { int32_t request, expected; };
  const Case cases[] = {{1, 1},       {2, 2},       {3, 4},         {256, 256},
                        {1500, 2048}, {2000, 2048}, {2048, 2048},   {3000, 4096},
                        {0, 0},       {-5, 0},      {1 << 27, 1 << 27},
                        {(1 << 27) + 1, 1 << 27},   {2147483647, 1 << 27}};
  for (const auto& c : cases) {
    EXPECT_EQ(RoundLengthToPowerOfTwo(c.request), c.expected) << "request " << c.request;
  }
}

TEST(SpectrumPoint, EitherSetterCompletesThePair) {
  TSpectrumPoint p(nullptr);
  p.TimeSignal->SetLength(2000);
  p.SetLength(2000);
  EXPECT_EQ(p.Length(), 2048);
  EXPECT_EQ(p.TimeSignal->Length, 2000);  // untouched until SampleTime comes
  p.SetSampleTime(2048.0f / 20000.0f);
  EXPECT_EQ(p.TimeSignal->Length, 2048);
  EXPECT_EQ(p.Spectrum->Length, 1024);
  EXPECT_FLOAT_EQ(p.TimeSignal->SamplingRate, 20000.0f);
  EXPECT_FLOAT_EQ(p.Spectrum->HighFrequency, 10000.0f);
  EXPECT_EQ(p.Spectrum->LowFrequency, 0.0f);
  EXPECT_FLOAT_EQ(p.TimeSignal->EndTime, 0.1024f);
  EXPECT_FLOAT_EQ(p.TimeSignal->Duration, 0.1024f);
  for (int i = 0; i <= 2048; ++i) ASSERT_EQ(p.TimeSignal->Data[i], 0.0f);

  TSpectrumPoint q(nullptr);
  q.SetSampleTime(1.0f);
  q.SetLength(256);
  EXPECT_EQ(q.TimeSignal->Length, 256);
  EXPECT_EQ(q.Spectrum->Length, 128);
  EXPECT_FLOAT_EQ(q.TimeSignal->SamplingRate, 256.0f);
  EXPECT_FLOAT_EQ(q.Spectrum->HighFrequency, 128.0f);
}

TEST(SpectrumPoint, NewSampleTimeKeepsSamplesAndMovesAxes) {
  TSpectrumPoint p(nullptr);
  p.SetLength(256);
  p.SetSampleTime(1.0f);
  float* data = p.TimeSignal->Data;
  data[10] = 3.5f;
  p.SetSampleTime(0.5f);
  EXPECT_EQ(p.TimeSignal->Data, data);
  EXPECT_EQ(p.TimeSignal->Data[10], 3.5f);
  EXPECT_FLOAT_EQ(p.TimeSignal->SamplingRate, 512.0f);
  EXPECT_FLOAT_EQ(p.Spectrum->HighFrequency, 256.0f);
  p.SetSampleTime(0.0f);  // stored, nothing else
  EXPECT_EQ(p.SampleTime(), 0.0f);
  EXPECT_FLOAT_EQ(p.TimeSignal->SamplingRate, 512.0f);
  p.TimeSignal->SetLength(256);  // same length: no reallocation, no clearing
  EXPECT_EQ(p.TimeSignal->Data, data);
  EXPECT_EQ(data[10], 3.5f);
}

TEST(SpectrumPoint, LengthOneGivesEmptySpectrum) {
  TSpectrumPoint p(nullptr);
  p.SetSampleTime(1.0f);
  p.SetLength(1);
  EXPECT_EQ(p.TimeSignal->Length, 1);
  EXPECT_EQ(p.Spectrum->Length, 0);
}

TEST(SpectrumPoint, NonPositiveLengthLeavesBuffersAlone) {
  TSpectrumPoint p(nullptr);
  p.SetSampleTime(1.0f);
  p.SetLength(64);
  p.SetLength(0);
  EXPECT_EQ(p.Length(), 0);
  EXPECT_EQ(p.TimeSignal->Length, 64);
  p.SetLength(-3);
  EXPECT_EQ(p.Length(), 0);
  EXPECT_EQ(p.Spectrum->Length, 32);
}

TEST(TimeSignal, GetValueChecksInOrder) {
  testing::MessageCapture capture;
  TTImeSignal s;
  EXPECT_EQ(s.GetValue(0), 0.0f);
  s.SetLength(2048);
  s.Data[2047] = 7.0f;
  EXPECT_EQ(s.GetValue(2047), 7.0f);
  s.GetValue(2048);
  s.GetValue(-1);
  EXPECT_EQ(capture.Texts, (std::vector<std::string>{"Length of time signal not defined!",
                                                     "TSpectrum: Upper bound overrun!",
                                                     "TSpectrum: Lower bound underrun!"}));
}

TEST(TimeSignal, SetLengthFollowsDurationAndZeroes) {
  TTImeSignal s;
  s.SetLength(100);
  EXPECT_EQ(s.SamplingRate, 0.0f);  // no duration yet
  s.SetDuration(0.5f);
  EXPECT_FLOAT_EQ(s.SamplingRate, 200.0f);
  s.Data[3] = 1.0f;
  s.SetLength(200);
  EXPECT_FLOAT_EQ(s.SamplingRate, 400.0f);
  EXPECT_EQ(s.Data[3], 0.0f);
  s.SetDuration(-1.0f);  // ignored
  EXPECT_FLOAT_EQ(s.Duration, 0.5f);
}

}  // namespace
}  // namespace quellmarin
