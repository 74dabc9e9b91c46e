#include "app/Engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quellmarin {

int16_t ToSample(float Value) {
  const double v = std::nearbyint(static_cast<double>(Value)) + TFFT::SampleOffset;
  return static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
}

void TFFT::Init(TComponent* Owner, int32_t NoSamples, int32_t SampleRate, TFilterType FilterType,
                int32_t CenterFrequency) {
  FPlotCount = 0;
  FNoSamples = std::clamp<int32_t>(NoSamples, 0, MaxBlockSamples);
  FBlockCount = FNoSamples;

  FLivePoint = new TSpectrumPoint(Owner);
  FResponsePoint = new TSpectrumPoint(Owner);

  FLiveFFT = new TFFTAnalysis(Owner);
  FLiveFFT->SetMPoint(FLivePoint);
  FLiveFFT->SetDCDump(true);

  FResponseFFT = new TFFTAnalysis(Owner);
  FResponseFFT->SetMPoint(FResponsePoint);
  FResponseFFT->SetExponentialDecay(0);

  for (TSpectrumPoint* point : {FLivePoint, FResponsePoint}) {
    point->TimeSignal->SetLength(FNoSamples);
    point->SetLength(FNoSamples);
    point->SetSampleTime(static_cast<float>(point->Length() / static_cast<double>(SampleRate)));
  }

  FGenerator = new TSignal(Owner);
  FGenerator->SetMPoint(FResponsePoint);
  FGenerator->SetSA1(100.0f);
  FGenerator->SetSignalType(stDelta);
  FGenerator->InitRandom();

  FLiveFilter = new TFIRAnalysis(Owner);
  FLiveFilter->SetMPoint(FLivePoint);
  FResponseFilter = new TFIRAnalysis(Owner);
  FResponseFilter->SetMPoint(FResponsePoint);

  const float halfCenter = static_cast<float>(CenterFrequency / 2);
  FLiveFilter->SetFilterType(FilterType);
  FLiveFilter->SetCenterFrequency(static_cast<float>(CenterFrequency));
  FLiveFilter->SetBandwidth(500.0f);
  FLiveFilter->SetTransitionBW1(halfCenter);
  FLiveFilter->SetTransitionBW2(10.0f);

  FResponseFilter->SetFilterType(FilterType);
  FResponseFilter->SetCenterFrequency(static_cast<float>(CenterFrequency));
  FResponseFilter->SetBandwidth(500.0f);
  FResponseFilter->SetTransitionBW1(halfCenter);
  FResponseFilter->SetTransitionBW2(0.0f);

  FResponseFFT->SetDCDump(true);

  // Attaching an analysis sizes its scratch buffers for the point; do it again
  // now that the points have their length, so no block allocates.
  FLiveFFT->SetMPoint(FLivePoint);
  FResponseFFT->SetMPoint(FResponsePoint);
}

void TFFT::Init(TComponent* Owner, TAudio* Audio, TFilterType FilterType, int32_t CenterFrequency) {
  const TRecorder* recorder = Audio->Recorder();
  Init(Owner, recorder->NoSamples(), recorder->SampleRate(), FilterType, CenterFrequency);
}

void TFFT::ProcessBlock(int16_t* Samples, int32_t Count, TBlockFilter* Filter) {
  if (!FLivePoint) return;  // not initialised: the block passes unchanged
  const int32_t n = std::clamp(Count, 0, FNoSamples);
  FBlockCount = n;
  float* signal = FLivePoint->TimeSignal->Data;
  std::memcpy(FSamples, Samples, sizeof(int16_t) * static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) signal[i] = static_cast<float>(FSamples[i] - SampleOffset);
  std::fill(signal + n, signal + FNoSamples, 0.0f);
  if (Filter) Filter->FilterBlock(signal, n);
  ComputeSpectrum();
  if (FEqualizeRequest) {
    const TSpectrum* spectrum = FLivePoint->Spectrum;
    const int32_t bins = std::min(spectrum->Length, MaxSpectrumBins);
    std::copy_n(spectrum->Amplitude, bins, FEqualizeRef);
    FEqualizeRequest = false;
  }
  for (int32_t i = 0; i < n; ++i) FSamples[i] = ToSample(signal[i]);
  std::memcpy(Samples, FSamples, sizeof(int16_t) * static_cast<size_t>(n));
}

namespace {
// The live point's own filter as a pipeline step, with the offset scaled by
// the filter's DC gain.
class TOwnFilter final : public TFFT::TBlockFilter {
public:
  explicit TOwnFilter(TFIRAnalysis& Filter) : FFilter(Filter) {}
  void FilterBlock(float* Data, int32_t Count) override {
    FFilter.FilterBlock(Data, Count);
    const TTImeSignal& taps = FFilter.Taps();
    double gain = 0.0;
    for (int32_t i = 0; i < taps.Length; ++i) gain += taps.Data[i];
    const float share = static_cast<float>((gain - 1.0) * TFFT::SampleOffset);
    for (int32_t i = 0; i < Count; ++i) Data[i] += share;
  }

private:
  TFIRAnalysis& FFilter;
};
}  // namespace

void TFFT::ProcessBlock(int16_t* Samples, int32_t Count, bool FilterEnabled) {
  if (!FLiveFilter) {
    ProcessBlock(Samples, Count, static_cast<TBlockFilter*>(nullptr));
    return;
  }
  TOwnFilter own(*FLiveFilter);
  ProcessBlock(Samples, Count, FilterEnabled ? &own : nullptr);
}

void TFFT::FilterBlock() {
  // One block call: the same stream as one FilterSample per sample, and FFT
  // convolution for long filters.
  FLiveFilter->FilterBlock(FLivePoint->TimeSignal->Data, FBlockCount);
}

void TFFT::ComputeSpectrum() { FLiveFFT->Execute(); }

void TFFT::SetFilter(TFilterType FilterType, int32_t Width, int32_t CenterFrequency) {
  FResponseFilter->SetAutoDesign(false);
  FResponseFilter->SetFilterType(FilterType);
  FResponseFilter->SetCenterFrequency(static_cast<float>(CenterFrequency));
  const float width = static_cast<float>(Width);
  switch (FilterType) {
    case ftLowPass:
      FResponseFilter->SetTransitionBW1(width);
      FResponseFilter->SetTransitionBW2(0.0f);
      break;
    case ftHighPass:
      FResponseFilter->SetTransitionBW1(0.0f);
      FResponseFilter->SetTransitionBW2(width);
      break;
    case ftBandPass:
      FResponseFilter->SetTransitionBW1(width);
      FResponseFilter->SetTransitionBW2(width);
      break;
    default:
      break;
  }
  FResponseFilter->SetAutoDesign(true);
  FResponseFilter->Redesign();
}

void TFFT::UpdateFilterResponse() {
  FGenerator->Execute();
  FResponseFilter->Execute();
  FResponseFFT->Execute();
}

void TFFT::FindDominant() {
  const TSpectrum* spectrum = FLivePoint->Spectrum;
  const int32_t n = std::min(spectrum->Length, MaxSpectrumBins);
  const float* v = spectrum->Amplitude;
  const double s = spectrum->LowFrequency;
  const double f = spectrum->HighFrequency;

  FMaxAmplitude = 0.0f;
  FMaxBand = 0;
  FBandMaxBin = 0;
  FBinsPerBand = 10;
  const int32_t bands = std::min(n / FBinsPerBand, MaxBands);
  for (int32_t i = 0; i < bands; ++i) {
    FBandStart = i * FBinsPerBand;
    FBandMax = 0.0f;
    for (int32_t j = FBandStart; j < FBandStart + FBinsPerBand; ++j) {
      FDiffValue = v[j] - FEqualizeRef[j];
      if (!(FDiffValue >= 0.0f)) FDiffValue = 0.0f;  // NaN counts as 0 too
      if (FDiffValue > FBandMax) {
        FBandMax = FDiffValue;
        FBandMaxBin = j;
      }
    }
    FBandPeak[i] = FBandMax;
    if (FBandMax > FMaxAmplitude) {
      FMaxAmplitude = FBandMax;
      FMaxBand = i;
      FDominantBin = FBandMaxBin;
    }
    FBandFreq[i] = static_cast<float>(FBandStart / static_cast<double>(spectrum->Length) * f + s);
  }
  FBandCount = bands;
}

}  // namespace quellmarin
