#pragma once
// The FIR filter component: designs a Kaiser-window FIR filter from a handful
// of band properties and filters its measuring point's time signal, either the
// whole block in place (Execute) or one sample at a time (FilterSample). Both
// share one filter state, so a block followed by single samples is one stream.
//
// Every property write redesigns at once while AutoDesign is on. To change
// several properties with one design: SetAutoDesign(false), write them,
// SetAutoDesign(true), Redesign().
//
// Threads: FilterSample and FilterBlock run on the audio thread for every sample and neither
// allocates nor locks. Execute, the setters and the design steps run on the UI
// thread. Nothing here locks: no two of Execute, FilterSample, FilterBlock, InitFilterState
// and a redesigning setter may overlap on one component (the engine keeps them
// apart).

#include <cstdint>
#include <memory>

#include "analysis/Analysis.h"
#include "analysis/DspFir.h"
#include "dsplib/NDSP.h"
#include "measurement/MeasuringPoint.h"

namespace quellmarin {

class TFIRFilterAnalysis : public TAnalysis {
public:
  // Longest filter a design produces.
  static constexpr int32_t MaxFilterLength = 5000;

  explicit TFIRFilterAnalysis(TComponent* Owner);
  ~TFIRFilterAnalysis() override;

  // Filters the measuring point's whole time signal in place. Does nothing
  // until a filter state is ready, or while this filter or its point is
  // inactive.
  void Execute() override;
  // Passes one sample through the filter; 0 until a filter state is ready and
  // while this filter or its point is inactive.
  float FilterSample(float x);
  // Passes Count samples of Data through the filter in place, continuing the
  // same stream as FilterSample (the same outputs within float rounding, the
  // same history afterwards), by the library's block call, which switches to
  // FFT convolution for long filters. Leaves zeros, as FilterSample returns,
  // until a filter state is ready and while this filter or its point is
  // inactive. Audio thread; allocates nothing.
  void FilterBlock(float* Data, int32_t Count);

  // Dirty := true; designs and initialises the filter at once if AutoDesign.
  void Redesign();
  // Design, then InitFilterState.
  void Rebuild();
  // Band edges, filter type, FilterLength, the taps and the output size from
  // the properties. Any failure ends it silently; what it wrote stays.
  void Design();
  // Starts the filter state afresh (empty history) from the current taps.
  // Clears Dirty on success; a failure is swallowed.
  void InitFilterState();

  TMeasuringPoint* MPoint() const { return FMPoint; }
  void SetMPoint(TMeasuringPoint* Value) { FMPoint = Value; }
  TFilterType FilterType() const { return FFilterType; }
  void SetFilterType(TFilterType Value);
  float CenterFrequency() const { return FCenterFrequency; }
  void SetCenterFrequency(float Value);
  float TransitionBW1() const { return FTransitionBW1; }
  void SetTransitionBW1(float Value);
  float TransitionBW2() const { return FTransitionBW2; }
  void SetTransitionBW2(float Value);
  float StopBandAtt() const { return FStopBandAtt; }
  void SetStopBandAtt(float Value);
  float Bandwidth() const { return FBandwidth; }
  void SetBandwidth(float Value);
  int32_t FilterLength() const { return FFilterLength; }
  void SetFilterLength(int32_t Value);
  float Ripple() const { return FRipple; }
  void SetRipple(float Value);
  int32_t UpSample() const { return FUpSample; }
  void SetUpSample(int32_t Value);
  int32_t UpDelay() const { return FUpDelay; }
  void SetUpDelay(int32_t Value);
  int32_t DownSample() const { return FDownSample; }
  void SetDownSample(int32_t Value);
  int32_t DownDelay() const { return FDownDelay; }
  void SetDownDelay(int32_t Value);

  bool AutoDesign() const { return FAutoDesign; }
  void SetAutoDesign(bool Value) { FAutoDesign = Value; }

  // The current design's taps (Length = tap count) and the block output buffer.
  const TTImeSignal& Taps() const { return *FTaps; }
  const TTImeSignal& Output() const { return *FOutput; }

private:
  // Nyquist frequency of the measuring point, or 0 when it has none usable.
  float NyquistFrequency() const;
  bool CanFilter() const { return FStateReady && FActive && FMPoint != nullptr && FMPoint->Active(); }

  TMeasuringPoint* FMPoint = nullptr;
  TFilterType FFilterType = ftLowPass;
  float FCenterFrequency = 0.0f;
  float FTransitionBW1 = 0.0f;
  float FTransitionBW2 = 0.0f;
  float FStopBandAtt = 60.0f;
  float FBandwidth = 0.0f;
  int32_t FFilterLength = 1;
  float FRipple = 0.001f;
  int32_t FUpSample = 1;
  int32_t FUpDelay = 0;
  int32_t FDownSample = 1;
  int32_t FDownDelay = 0;

  std::unique_ptr<TTImeSignal> FOutput;
  TFirState FFirState;
  bool FStateReady = false;
  std::unique_ptr<TTImeSignal> FTaps;
  bool FAutoDesign = true;
};

// The class the program creates.
class TFIRAnalysis : public TFIRFilterAnalysis {
public:
  using TFIRFilterAnalysis::TFIRFilterAnalysis;
};

}  // namespace quellmarin
