#pragma once
// The processing engine: ties the measuring points, spectrum analyses, FIR
// filters and the delta generator together for live filtering. The record
// handler runs the block pipeline (ProcessBlock) on the audio thread; the
// display refresh runs SetFilter, UpdateFilterResponse and FindDominant and
// reads the spectra and band results on the UI thread. The two never overlap:
// ProcessBlock holds the engine's lock for one block, and the refresh holds it
// (through Lock()) around its engine steps.

#include <cstdint>
#include <mutex>

#include "analysis/SignalAnalysis.h"
#include "audio/Audio.h"
#include "measurement/MeasuringPoint.h"
#include "platform/Component.h"

namespace quellmarin {

class TFFT {
public:
  // Offset removed from every input sample before processing and added back after.
  static constexpr int32_t SampleOffset = 170;
  static constexpr int32_t MaxBlockSamples = 2001;
  static constexpr int32_t MaxSpectrumBins = 2001;
  static constexpr int32_t MaxBands = 401;

  TFFT() = default;
  TFFT(const TFFT&) = delete;
  TFFT& operator=(const TFFT&) = delete;

  // Creates and wires every component, owned by Owner, for blocks of NoSamples
  // samples recorded at SampleRate. Call once, while no recording runs.
  void Init(TComponent* Owner, int32_t NoSamples, int32_t SampleRate, TFilterType FilterType,
            int32_t CenterFrequency);
  // The same for the block length and sample rate of Audio's recorder.
  void Init(TComponent* Owner, TAudio* Audio, TFilterType FilterType, int32_t CenterFrequency);

  // The block pipeline, on the audio thread. Samples holds FNoSamples 16-bit
  // samples; they are replaced in place by the processed block. Takes the lock.
  void ProcessBlock(int16_t* Samples, bool FilterEnabled);

  // Pipeline steps; the caller holds the lock.
  void FilterBlock();
  void ComputeSpectrum();

  // Refresh steps; the caller holds the lock.
  void SetFilter(TFilterType FilterType, int32_t Width, int32_t CenterFrequency);
  void UpdateFilterResponse();
  void FindDominant();

  // The lock that keeps the pipeline and the refresh's engine steps apart.
  std::mutex& Lock() { return FLock; }

  // Data model: the window reads and writes these directly (under the lock).
  TFIRAnalysis* FLiveFilter = nullptr;
  TFIRAnalysis* FResponseFilter = nullptr;
  TSignal* FGenerator = nullptr;
  float FBandMax = 0.0f;
  int32_t FBandMaxBin = 0;
  int32_t FBinsPerBand = 0;
  int32_t FBandStart = 0;
  float FDiffValue = 0.0f;
  int32_t FNoSamples = 0;
  TFFTAnalysis* FResponseFFT = nullptr;
  TFFTAnalysis* FLiveFFT = nullptr;
  TSpectrumPoint* FLivePoint = nullptr;
  TSpectrumPoint* FResponsePoint = nullptr;
  bool FEqualizeRequest = false;
  int32_t FPlotCount = 0;
  int16_t FSamples[MaxBlockSamples] = {};
  float FEqualizeRef[MaxSpectrumBins] = {};
  int32_t FBandCount = 0;
  float FMaxAmplitude = 0.0f;
  int32_t FMaxBand = 0;
  int32_t FDominantBin = 0;
  float FBandPeak[MaxBands] = {};
  float FBandFreq[MaxBands] = {};

private:
  std::mutex FLock;
};

// Converts a processed sample back to 16 bits: rounded to nearest (halves to
// even), offset added back, saturated to the 16-bit range so that a filter
// that amplifies clips instead of wrapping around into loud noise.
int16_t ToSample(float Value);

}  // namespace quellmarin
