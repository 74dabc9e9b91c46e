#include "measurement/MeasuringPoint.h"

#include <algorithm>
#include <cmath>

#include "platform/MessageBox.h"

namespace quellmarin {

void TTImeSignal::SetLength(int32_t N) {
  N = std::max<int32_t>(N, 0);
  if (N == Length) return;
  FStorage.reset();
  Data = nullptr;
  Length = N;
  FStorage = std::make_unique<float[]>(static_cast<size_t>(N) + 1);  // zeroed
  Data = FStorage.get();
  SetDuration(Duration);
}

void TTImeSignal::SetDuration(float D) {
  if (D > 0) {
    SamplingRate = static_cast<float>(Length / static_cast<double>(D));
    Duration = D;
  }
}

float TTImeSignal::GetValue(int32_t Index) const {
  if (Length == 0) {
    ShowInformationBox("Length of time signal not defined!");
    return 0.0f;
  }
  if (Index > Length - 1) {
    ShowInformationBox("TSpectrum: Upper bound overrun!");
    return 0.0f;
  }
  if (Index < 0) {
    ShowInformationBox("TSpectrum: Lower bound underrun!");
    return 0.0f;
  }
  return Data[Index];
}

void TSpectrum::SetLength(int32_t N) {
  N = std::max<int32_t>(N, 0);
  if (N == Length) return;
  FAmplitude.reset();
  FPhase.reset();
  Amplitude = Phase = nullptr;
  Length = N;
  FAmplitude.reset(new float[static_cast<size_t>(N) + 1]);
  FPhase.reset(new float[static_cast<size_t>(N) + 1]);
  Amplitude = FAmplitude.get();
  Phase = FPhase.get();
}

int32_t RoundLengthToPowerOfTwo(int32_t Request) {
  if (Request <= 0) return 0;
  constexpr int32_t kLargest = int32_t{1} << 27;
  const int32_t v = std::min(Request, MaxFloatArrayLength);
  int e = static_cast<int>(std::lround(std::log2(static_cast<double>(v))));
  if ((int64_t{1} << e) < v) ++e;
  return static_cast<int32_t>(std::min<int64_t>(int64_t{1} << e, kLargest));
}

TSpectrumPoint::TSpectrumPoint(TComponent* Owner) : TMeasuringPoint(Owner) {
  FLength = 0;
  FSampleTime = 0.0f;
  FActive = true;
  Spectrum = new TSpectrum();
  TimeSignal = new TTImeSignal();
}

TSpectrumPoint::~TSpectrumPoint() {
  delete Spectrum;
  delete TimeSignal;
}

void TSpectrumPoint::SetLength(int32_t Value) {
  FLength = RoundLengthToPowerOfTwo(Value);
  if (FLength > 0 && FSampleTime > 0) UpdateBuffers();
}

void TSpectrumPoint::SetSampleTime(float Value) {
  FSampleTime = Value;
  if (FLength > 0 && FSampleTime > 0) UpdateBuffers();
}

void TSpectrumPoint::UpdateBuffers() {
  TimeSignal->SetLength(FLength);
  Spectrum->SetLength(static_cast<int32_t>(std::trunc(FLength / 2.0 + 0.1)));
  TimeSignal->SetStartTime(0.0f);
  TimeSignal->SetEndTime(FSampleTime);
  TimeSignal->Duration = TimeSignal->EndTime - TimeSignal->StartTime;
  TimeSignal->SamplingRate = static_cast<float>(TimeSignal->Length / static_cast<double>(FSampleTime));
  Spectrum->LowFrequency = 0.0f;
  Spectrum->HighFrequency = static_cast<float>(TimeSignal->Length / 2.0 / TimeSignal->EndTime);
}

}  // namespace quellmarin
