#pragma once
// The amplitude spectrum analysis: computes the amplitude spectrum and the
// phase of a spectrum point's time signal and writes them into the point's
// spectrum. One run: optional mean removal, a time window, a real FFT of the
// whole record, magnitude and phase per bin with the window's amplitude
// correction, optional averaging over successive records, a scale factor, an
// optional RMS or power conversion and an optional decibel conversion.
//
// Threads: Execute runs on whichever thread the owner chooses (the live
// analysis on the audio thread, once per block); setters run on the UI thread.
// Nothing is locked: a run must never be re-entered nor overlap a setter of the
// same analysis or an operation on its point. Execute allocates only when the
// record grows beyond what earlier runs (or SetMPoint) sized the scratch for;
// after that a run allocates nothing.

#include <cstdint>
#include <vector>

#include "analysis/Analysis.h"
#include "analysis/DspSpectrum.h"
#include "measurement/MeasuringPoint.h"

namespace quellmarin {

enum TSpectrumType { atNormal = 0, atRMS = 1, atPower = 2, atReal = 3, atImaginary = 4, atPhase = 5 };
enum TLogDBSpan { ls60 = 0, ls90 = 1, ls120 = 2, ls150 = 3 };
enum TAveraging { avNone = 0, avInfiniteLinear = 1, avInfiniteExponential = 2 };

class TAmpltAnalysis : public TAnalysis {
public:
  explicit TAmpltAnalysis(TComponent* Owner);

  // The point analysed. Its Spectrum, as it is now, becomes the output
  // spectrum; nullptr clears both. The analysis does not follow the point's
  // lifetime: the owner keeps the point alive while the analysis may run.
  TSpectrumPoint* MPoint() const { return FMPoint; }
  void SetMPoint(TSpectrumPoint* Value);
  TTimeWindow Window() const { return FWindow; }
  void SetWindow(TTimeWindow Value);
  TSpectrumType SpectrumType() const { return FSpectrumType; }
  void SetSpectrumType(TSpectrumType Value);
  TLogType LogType() const { return FLogType; }
  void SetLogType(TLogType Value);
  bool Logarithmic() const { return FLogarithmic; }
  void SetLogarithmic(bool Value);
  // Depth of the decibel scale; also sets DBSpan (60, 90, 120 or 150).
  TLogDBSpan LogDBSpan() const { return FLogDBSpan; }
  void SetLogDBSpan(TLogDBSpan Value);
  // Removes the record's mean before the window.
  bool DCDump() const { return FDCDump; }
  void SetDCDump(bool Value);
  float ScaleFactor() const { return FScaleFactor; }
  void SetScaleFactor(float Value);
  // Does not reset AverageCount: an average starts afresh only after a run
  // with avNone.
  TAveraging Averaging() const { return FAveraging; }
  void SetAveraging(TAveraging Value);
  // Weight of the past in the exponential average (each new record counts
  // 1 / ExponentialDecay); values below 1 store 1.
  int32_t ExponentialDecay() const { return FExponentialDecay; }
  void SetExponentialDecay(int32_t Value);

  // One run on MPoint (see the file comment). Returns without any effect when
  // there is no point, the point or the analysis is inactive, the time signal
  // is empty, or the record does not fit the spectrum (a power-of-two length
  // of twice the spectrum's bins). Never changes the samples; sets the
  // signal's MaxValue and MinValue. Dirty becomes False, except after a run
  // that averages with Logarithmic on (the amplitudes then stay linear).
  void Execute() override;

  // The output spectrum: MPoint's Spectrum when MPoint was assigned.
  TSpectrum* Spectrum = nullptr;
  // Depth of the decibel scale in decibels.
  int32_t DBSpan = 120;
  // Records averaged so far; 0 after every run with avNone.
  uint32_t AverageCount = 0;

private:
  // Sizes the scratch for a record of N samples (grows only).
  void Reserve(int32_t N);

  TSpectrumPoint* FMPoint = nullptr;
  TTimeWindow FWindow = wtRectangular;
  TSpectrumType FSpectrumType = atNormal;
  TLogType FLogType = ltAbsolute;
  bool FLogarithmic = false;
  TLogDBSpan FLogDBSpan = ls120;
  bool FDCDump = false;
  float FScaleFactor = 1.0f;
  TAveraging FAveraging = avNone;
  int32_t FExponentialDecay = 5;

  // Reused from run to run: the record being transformed (N + 5 floats) and
  // one record's magnitude and phase while averaging (M + 1 floats each).
  std::vector<float> FBuffer;
  std::vector<float> FRecordAmplitude;
  std::vector<float> FRecordPhase;
};

// The spectrum analysis the system instantiates; its settings are the ones
// TAmpltAnalysis declares.
class TFFTAnalysis : public TAmpltAnalysis {
public:
  explicit TFFTAnalysis(TComponent* Owner) : TAmpltAnalysis(Owner) {}
};

}  // namespace quellmarin
