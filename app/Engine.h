#pragma once
// The processing engine: ties the measuring points, spectrum analyses, FIR
// filters and the delta generator together for live filtering.
//
// Threads: the engine has two sides that share nothing.
//   * The live side (the live point, its spectrum analysis and filter,
//     FSamples, FEqualizeRequest, FEqualizeRef and the band results) belongs
//     to the live loop's thread while a run lasts: ProcessBlock and
//     FindDominant run there, once per block. The window reads what the loop
//     publishes, never these fields.
//   * The response side (the response point, its analysis and filter, the
//     generator: SetFilter, UpdateFilterResponse) and FPlotCount belong to the
//     UI thread. The response filter is only ever measured; the live path
//     filters with a copy of its taps (see app/LiveFilter.h).

#include <cstdint>

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

  // The filter step of the block pipeline: filters Count samples of the
  // offset-free time signal in place. What it returns is still offset-free:
  // a filter whose gain at 0 Hz is G adds (G - 1) x SampleOffset, so that the
  // offset that is added back comes out scaled by the filter's DC gain, as a
  // linear filter of the recorded samples would give it.
  class TBlockFilter {
  public:
    virtual ~TBlockFilter() = default;
    virtual void FilterBlock(float* Data, int32_t Count) = 0;
  };

  // The block pipeline, live side. Samples holds Count 16-bit samples (at most
  // FNoSamples are used); they are replaced in place by the processed block.
  // A short block is padded with zeros for the spectrum, never with samples
  // of an earlier block. Filter null: no filtering.
  void ProcessBlock(int16_t* Samples, int32_t Count, TBlockFilter* Filter);
  // The same, filtering with the live point's own filter when FilterEnabled.
  void ProcessBlock(int16_t* Samples, int32_t Count, bool FilterEnabled);

  // Pipeline steps, live side.
  void FilterBlock();
  void ComputeSpectrum();
  void FindDominant();

  // Response side.
  void SetFilter(TFilterType FilterType, int32_t Width, int32_t CenterFrequency);
  // Measures the response filter's frequency response into the response
  // point's spectrum. The response filter never filters the live stream.
  void UpdateFilterResponse();

  // Data model.
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
  int32_t FBlockCount = 0;  // samples of the block being processed
};

// Converts a processed sample back to 16 bits: rounded to nearest (halves to
// even), offset added back, saturated to the 16-bit range so that a filter
// that amplifies clips instead of wrapping around into loud noise.
int16_t ToSample(float Value);

}  // namespace quellmarin
