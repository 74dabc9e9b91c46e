#include "analysis/SpectrumAnalysis.h"

namespace quellmarin {

namespace {

bool IsPowerOfTwo(int32_t v) { return v > 0 && (v & (v - 1)) == 0; }

}  // namespace

TAmpltAnalysis::TAmpltAnalysis(TComponent* Owner) : TAnalysis(Owner) {
  SetSpectrumType(atNormal);
  SetLogarithmic(false);
  SetLogType(ltAbsolute);
  SetScaleFactor(1.0f);
  SetLogDBSpan(ls120);
  SetDCDump(false);
  FExponentialDecay = 5;
  AverageCount = 0;
}

void TAmpltAnalysis::SetMPoint(TSpectrumPoint* Value) {
  FMPoint = Value;
  Spectrum = Value != nullptr ? Value->Spectrum : nullptr;
  // Size the scratch now, on the caller's thread, so that the first run on an
  // already sized point allocates nothing.
  if (Value != nullptr && Value->TimeSignal != nullptr) Reserve(Value->TimeSignal->Length);
  FDirty = true;
}

void TAmpltAnalysis::SetWindow(TTimeWindow Value) {
  FWindow = Value;
  FDirty = true;
}

void TAmpltAnalysis::SetSpectrumType(TSpectrumType Value) {
  FSpectrumType = Value;
  FDirty = true;
}

void TAmpltAnalysis::SetLogType(TLogType Value) {
  FLogType = Value;
  FDirty = true;
}

void TAmpltAnalysis::SetLogarithmic(bool Value) {
  FLogarithmic = Value;
  FDirty = true;
}

void TAmpltAnalysis::SetLogDBSpan(TLogDBSpan Value) {
  FLogDBSpan = Value;
  switch (Value) {
    case ls60: DBSpan = 60; break;
    case ls90: DBSpan = 90; break;
    case ls120: DBSpan = 120; break;
    case ls150: DBSpan = 150; break;
  }
  FDirty = true;
}

void TAmpltAnalysis::SetDCDump(bool Value) {
  FDCDump = Value;
  FDirty = true;
}

void TAmpltAnalysis::SetScaleFactor(float Value) {
  FScaleFactor = Value;
  FDirty = true;
}

void TAmpltAnalysis::SetAveraging(TAveraging Value) {
  FAveraging = Value;
  FDirty = true;
}

void TAmpltAnalysis::SetExponentialDecay(int32_t Value) {
  FExponentialDecay = Value < 1 ? 1 : Value;
  FDirty = true;
}

void TAmpltAnalysis::Reserve(int32_t N) {
  if (N <= 0) return;
  const size_t record = static_cast<size_t>(N) + 5;
  const size_t bins = static_cast<size_t>(N / 2) + 1;
  if (FBuffer.size() < record) FBuffer.resize(record);
  if (FRecordAmplitude.size() < bins) FRecordAmplitude.resize(bins);
  if (FRecordPhase.size() < bins) FRecordPhase.resize(bins);
}

void TAmpltAnalysis::Execute() {
  if (FMPoint == nullptr || !Active() || !FMPoint->Active()) return;
  TTImeSignal* s = FMPoint->TimeSignal;
  if (s == nullptr || s->Length == 0 || Spectrum == nullptr) return;
  const int32_t n = s->Length;
  const int32_t m = Spectrum->Length;
  // The transform covers 2M samples in place in a buffer of N + 5: a record
  // resized by hand without updating the point would read or write past it.
  if (!IsPowerOfTwo(m) || int64_t{n} != 2 * int64_t{m}) return;

  const float mean = MeanValue(n, s->Data);
  Reserve(n);
  float* b = FBuffer.data();
  CopyValues(n, s->Data, b);
  if (FDCDump) SubtractValue(n, b, mean);
  ApplyWindow(FWindow, n, b);
  ShiftByOne(n, b);
  RealFFT(b, m, 1);

  float* amplitude = Spectrum->Amplitude;
  float* phase = Spectrum->Phase;
  if (FAveraging == avNone) {
    AverageCount = 0;
    UnpackSpectrum(m, b, amplitude, phase);
    MagnitudePhase(m, amplitude, phase);
    WindowCorrection(m, FWindow, amplitude);
  } else {
    float* a = FRecordAmplitude.data();
    float* f = FRecordPhase.data();
    UnpackSpectrum(m, b, a, f);
    MagnitudePhase(m, a, f);
    WindowCorrection(m, FWindow, a);
    const float w = FAveraging == avInfiniteLinear ? static_cast<float>(AverageCount + 1)
                                                   : static_cast<float>(FExponentialDecay);
    if (AverageCount == 0) {
      CopyValues(m, a, amplitude);
      CopyValues(m, f, phase);
    } else {
      const double wd = w;
      for (int32_t k = 0; k < m; ++k) {
        amplitude[k] = static_cast<float>(((wd - 1.0) * amplitude[k] + a[k]) / wd);
        phase[k] = static_cast<float>(((wd - 1.0) * phase[k] + f[k]) / wd);
      }
    }
    ++AverageCount;
  }

  ScaleValues(m, amplitude, FScaleFactor);
  if (FSpectrumType == atRMS)
    DivideBySqrt2(m, amplitude);
  else if (FSpectrumType == atPower)
    SquareValues(m, amplitude);

  s->MaxValue = FindMax(n, s->Data);
  s->MinValue = FindMin(n, s->Data);
  Spectrum->MaxValue = FindMax(m, amplitude);
  Spectrum->MinValue = FindMin(m, amplitude);

  if (FLogarithmic) {
    // A running average stays linear: the next run averages against it.
    if (FAveraging != avNone) return;
    ToDecibels(m, amplitude, static_cast<float>(DBSpan), Spectrum->MaxValue, FLogType);
    Spectrum->MaxValue = FindMax(m, amplitude);
    Spectrum->MinValue = FindMin(m, amplitude);
  }
  FDirty = false;
}

}  // namespace quellmarin
