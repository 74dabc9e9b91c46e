#include "analysis/FirAnalysis.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace quellmarin {

namespace {
// Ripple standing for the largest stop-band attenuation kept, 150 dB.
const float kSmallestRipple = static_cast<float>(std::pow(10.0, -7.5));
constexpr float kMaxStopBandAtt = 150.0f;
}  // namespace

TFIRFilterAnalysis::TFIRFilterAnalysis(TComponent* Owner)
    : TAnalysis(Owner), FOutput(std::make_unique<TTImeSignal>()), FTaps(std::make_unique<TTImeSignal>()) {}

TFIRFilterAnalysis::~TFIRFilterAnalysis() {
  if (FStateReady) nspFirFree(&FFirState);
}

float TFIRFilterAnalysis::NyquistFrequency() const {
  if (FMPoint == nullptr || FMPoint->Length() <= 0 || !(FMPoint->SampleTime() > 0.0f)) return 0.0f;
  const float fN = static_cast<float>(FMPoint->Length() / (2.0 * FMPoint->SampleTime()));
  return std::isfinite(fN) ? fN : 0.0f;
}

void TFIRFilterAnalysis::SetFilterType(TFilterType Value) {
  FFilterType = Value;
  Redesign();
}

void TFIRFilterAnalysis::SetCenterFrequency(float Value) {
  if (FMPoint == nullptr) return;
  const double fN = NyquistFrequency();
  // Without a usable sampling time there is no range to check against yet; the
  // design clamps the value once there is.
  const double limit = fN > 0.0 ? fN + 1.0 : HUGE_VAL;
  FCenterFrequency = (Value >= 0.0f && Value < limit) ? Value : 0.0f;
  Redesign();
}

void TFIRFilterAnalysis::SetBandwidth(float Value) {
  if (FMPoint == nullptr) return;
  const double fN = NyquistFrequency();
  const double limit = fN > 0.0 ? fN : HUGE_VAL;
  FBandwidth = (Value >= 0.0f && Value < limit) ? Value : 0.0f;
  Redesign();
}

void TFIRFilterAnalysis::SetTransitionBW1(float Value) {
  FTransitionBW1 = Value >= 0.0f ? Value : 0.0f;
  Redesign();
}

void TFIRFilterAnalysis::SetTransitionBW2(float Value) {
  FTransitionBW2 = Value >= 0.0f ? Value : 0.0f;
  Redesign();
}

void TFIRFilterAnalysis::SetFilterLength(int32_t Value) {
  FFilterLength = std::min(Value, MaxFilterLength);
  Redesign();
}

void TFIRFilterAnalysis::SetRipple(float Value) {
  if (Value > 0.99f)
    Value = 0.99f;
  else if (!(Value >= 0.0f))  // negative or NaN
    Value = 0.001f;
  FRipple = Value;
  // A ripple of 0 means an infinite attenuation and lands on the 150 dB limit.
  const double att = -20.0 * std::log10(static_cast<double>(Value));
  if (att > kMaxStopBandAtt) {
    FStopBandAtt = kMaxStopBandAtt;
    FRipple = kSmallestRipple;
  } else {
    FStopBandAtt = static_cast<float>(att);
  }
  Redesign();
}

void TFIRFilterAnalysis::SetStopBandAtt(float Value) {
  if (Value > 0.0f) {
    FStopBandAtt = std::min(Value, kMaxStopBandAtt);
    FRipple = static_cast<float>(std::pow(10.0, -static_cast<double>(FStopBandAtt) / 20.0));
  }
  Redesign();
}

void TFIRFilterAnalysis::SetUpSample(int32_t Value) {
  if (Value > 0) {
    FUpSample = Value;
    // A phase must stay below its factor, also when the factor shrinks.
    FUpDelay = std::min(FUpDelay, FUpSample - 1);
  }
  Redesign();
}

void TFIRFilterAnalysis::SetUpDelay(int32_t Value) {
  FUpDelay = Value < FUpSample ? std::max(Value, 0) : FUpSample - 1;
  Redesign();
}

void TFIRFilterAnalysis::SetDownSample(int32_t Value) {
  if (Value > 0) {
    FDownSample = Value;
    FDownDelay = std::min(FDownDelay, FDownSample - 1);
  }
  Redesign();
}

void TFIRFilterAnalysis::SetDownDelay(int32_t Value) {
  FDownDelay = Value < FDownSample ? std::max(Value, 0) : FDownSample - 1;
  Redesign();
}

void TFIRFilterAnalysis::Redesign() {
  FDirty = true;
  if (FAutoDesign) Rebuild();
}

void TFIRFilterAnalysis::Rebuild() {
  Design();
  InitFilterState();
}

void TFIRFilterAnalysis::Design() {
  try {
    const float fN = NyquistFrequency();
    if (fN <= 0.0f) return;
    const double f = fN;

    // Clamp the band properties into the signal's range; every clamp is kept.
    if (!(FCenterFrequency >= 0.0f))
      FCenterFrequency = 0.0f;
    else if (FCenterFrequency > f - 1.0)
      FCenterFrequency = fN;
    if (!(FBandwidth >= 0.0f))
      FBandwidth = 0.0f;
    else if (FBandwidth > f - 1.0)
      FBandwidth = static_cast<float>(std::max(f - 1.0, 0.0));
    if (FCenterFrequency - FBandwidth / 2.0 < 0.0) FBandwidth = static_cast<float>(2.0 * FCenterFrequency);
    if (FBandwidth / 2.0 + FCenterFrequency > f) FBandwidth = static_cast<float>(2.0 * (f - FCenterFrequency));
    if (!(FTransitionBW2 >= 0.0f))
      FTransitionBW2 = 0.0f;
    else if (FTransitionBW2 > f - 1.0)
      FTransitionBW2 = fN;
    if (!(FTransitionBW1 >= 0.0f))
      FTransitionBW1 = 0.0f;
    else if (FTransitionBW1 > f - 1.0)
      FTransitionBW1 = fN;

    // The transition widths say which kind of filter is wanted.
    if (FTransitionBW1 == 0.0f && FTransitionBW2 > 0.0f)
      FFilterType = ftHighPass;
    else if (FTransitionBW2 == 0.0f && FTransitionBW1 > 0.0f)
      FFilterType = ftLowPass;
    else if (FTransitionBW1 > 0.0f && FTransitionBW2 > 0.0f && FFilterType != ftBandStop)
      FFilterType = ftBandPass;

    // Band edges; a transition band never reaches past 0 Hz or fN.
    const double c = FCenterFrequency, b2 = FBandwidth / 2.0;
    auto limit = [](float width, double room) { return static_cast<float>(std::max(0.0, std::min<double>(width, room))); };
    float e1 = 0.0f, e2 = 0.0f, e3 = 0.0f, e4 = 0.0f;
    switch (FFilterType) {
      case ftLowPass:
        FTransitionBW1 = limit(FTransitionBW1, f - (c + b2));
        e1 = static_cast<float>(c + b2);
        e2 = static_cast<float>(c + b2 + FTransitionBW1);
        break;
      case ftHighPass:
        FTransitionBW2 = limit(FTransitionBW2, c - b2);
        e1 = static_cast<float>(c - b2 - FTransitionBW2);
        e2 = static_cast<float>(c - b2);
        break;
      case ftBandPass:
      case ftBandStop:
        FTransitionBW1 = limit(FTransitionBW1, c - b2);
        FTransitionBW2 = limit(FTransitionBW2, f - (c + b2));
        e1 = static_cast<float>(c - b2 - FTransitionBW1);
        e2 = static_cast<float>(c - b2);
        e3 = static_cast<float>(c + b2);
        e4 = static_cast<float>(c + b2 + FTransitionBW2);
        break;
    }

    // Length from the narrower transition band of positive width.
    const double d1 = static_cast<double>(e2) - e1, d2 = static_cast<double>(e4) - e3;
    auto estimate = [&](float lower, float upper) -> int64_t {
      try {
        return KaiserLength(lower, upper, fN, FRipple);
      } catch (const std::range_error&) {
        // Beyond the integer range: far too long (or, below 8 dB, far too short).
        return -20.0 * std::log10(static_cast<double>(FRipple)) > 8.0 ? int64_t{MaxFilterLength} : int64_t{1};
      }
    };
    int64_t n = 0;
    if (d1 > 0.0 && (d2 <= 0.0 || d1 < d2))
      n = estimate(e1, e2);
    else if (d2 > 0.0 && (d1 <= 0.0 || d1 >= d2))
      n = estimate(e3, e4);
    FFilterLength = static_cast<int32_t>(std::clamp<int64_t>(n, 1, MaxFilterLength));

    FTaps->SetLength(FFilterLength);
    KaiserFirDesign(FTaps->Length, FTaps->Data, e1, e2, e3, e4, fN, FRipple, FFilterType);

    const double outLength =
        std::nearbyint(static_cast<double>(FMPoint->Length()) * FUpSample / static_cast<double>(FDownSample));
    if (!(outLength >= 0.0 && outLength <= MaxFloatArrayLength))
      throw std::range_error("FIR output length out of range");
    FOutput->SetLength(static_cast<int32_t>(outLength));
  } catch (...) {
    // A design that cannot be completed leaves what it wrote; nothing is reported.
  }
}

void TFIRFilterAnalysis::InitFilterState() {
  if (FTaps->Length == 0) return;
  try {
    if (FUpSample == 1 && FDownSample == 1)
      nspsFirInit(FTaps->Data, FTaps->Length, nullptr, &FFirState);
    else
      nspsFirInitMr(FTaps->Data, FTaps->Length, nullptr, FUpSample, FUpDelay, FDownSample, FDownDelay, &FFirState);
    FStateReady = true;
    FDirty = false;
  } catch (...) {
    // The previous state keeps running; Dirty stays as it was.
  }
}

void TFIRFilterAnalysis::Execute() {
  if (!CanFilter()) return;
  TTImeSignal* signal = FMPoint->TimeSignal;
  if (signal == nullptr || signal->Data == nullptr || FOutput->Data == nullptr) return;
  int32_t n = std::min(FMPoint->Length(), signal->Length);
  // The output buffer holds FOutput->Length + 1 floats. When the point or the
  // rates changed since the last design, filter only what fits.
  const int64_t room = int64_t{FOutput->Length} + 1;
  if (FFirState.MaxOutputs(n) > room)
    n = static_cast<int32_t>(room * FFirState.DownFactor() / FFirState.UpFactor());
  nspsbFir(&FFirState, signal->Data, FOutput->Data, n);

  FMPoint->SetLength(FOutput->Length);
  signal = FMPoint->TimeSignal;
  const int32_t count = std::min({FMPoint->Length(), signal->Length, FOutput->Length});
  std::copy(FOutput->Data, FOutput->Data + count, signal->Data);
}

float TFIRFilterAnalysis::FilterSample(float x) {
  if (!CanFilter()) return 0.0f;
  return nspsFir(&FFirState, x);
}

void TFIRFilterAnalysis::FilterBlock(float* Data, int32_t Count) {
  if (Data == nullptr || Count <= 0) return;
  if (!CanFilter() || FFirState.UpFactor() != 1 || FFirState.DownFactor() != 1) {
    // Not ready: zeros, as FilterSample gives. A multi-rate state gives one
    // output per input only sample by sample.
    for (int32_t i = 0; i < Count; ++i) Data[i] = FilterSample(Data[i]);
    return;
  }
  nspsbFir(&FFirState, Data, Data, Count);
}

}  // namespace quellmarin
