#pragma once
// The signal generator: writes one block of a synthetic test signal into the
// time signal of a measuring point per Execute: a sum of up to three sines or
// sinc pulses, a triangle, a square wave, a linear chirp, a product of two
// sines, a single delta pulse, or uniform or Gaussian noise.
//
// Threads: configured and run from the user-interface thread (the engine's
// start-up and its display refresh). Execute, InitRandom and the setters of
// one generator never overlap each other or an operation on its measuring
// point.

#include <cstdint>
#include <random>

#include "analysis/Analysis.h"
#include "dsplib/NDSP.h"
#include "measurement/MeasuringPoint.h"

namespace quellmarin {

enum TSignalType {
  stSine = 0,
  stImpuls = 1,
  stTriangle = 2,
  stSquare = 3,
  stChirp = 4,
  stMultiply = 5,
  stDelta = 6,
  stRandomNoise = 7,
  stGaussNoise = 8
};

class TSignalGeneration : public TAnalysis {
public:
  // SignalType stSine, SA1 = SF1 = FDV = 1, everything else 0, false or none.
  explicit TSignalGeneration(TComponent* Owner);

  // True when the last Execute failed (no usable measuring point, SA1 and DC1
  // both 0, SF1 and DC1 both 0, non-finite noise parameters or arithmetic that
  // leaves the finite range), or InitRandom found unusable noise parameters
  // since. A successful Execute clears it.
  bool ParameterError() const { return FParameterError; }

  // Carry the running sample index from block to block, so that the sine
  // family continues without a phase jump. Every write restarts the index at 0.
  bool RealTime() const { return FRealTime; }
  void SetRealTime(bool Value);
  // Add 0.001 to the middle sample after each generation.
  bool AdjustPhase() const { return FAdjustPhase; }
  void SetAdjustPhase(bool Value);
  // Divisor of SF1 to SF3 in the sine family; a write of 0 stores 1.
  float FDV() const { return FFDV; }
  void SetFDV(float Value);

  // Frequency (Hz), phase (degrees), amplitude and offset of the components.
  float SF1() const { return FSF1; }
  void SetSF1(float Value);
  float SP1() const { return FSP1; }
  void SetSP1(float Value);
  float SA1() const { return FSA1; }
  void SetSA1(float Value);
  float DC1() const { return FDC1; }
  void SetDC1(float Value);
  float SF2() const { return FSF2; }
  void SetSF2(float Value);
  float SP2() const { return FSP2; }
  void SetSP2(float Value);
  float SA2() const { return FSA2; }
  void SetSA2(float Value);
  float DC2() const { return FDC2; }
  void SetDC2(float Value);
  float SF3() const { return FSF3; }
  void SetSF3(float Value);
  float SP3() const { return FSP3; }
  void SetSP3(float Value);
  float SA3() const { return FSA3; }
  void SetSA3(float Value);
  float DC3() const { return FDC3; }
  void SetDC3(float Value);

  TSignalType SignalType() const { return FSignalType; }
  void SetSignalType(TSignalType Value);
  // The point whose time signal receives the block; not owned. It must outlive
  // the generator or be detached first.
  TMeasuringPoint* MPoint() const { return FMPoint; }
  void SetMPoint(TMeasuringPoint* Value);
  // In stSine, components 2 and 3 become the second and third harmonic of SF1.
  bool Harmonic() const { return FHarmonic; }
  void SetHarmonic(bool Value);

  // Prepares the noise generator of the current noise type with a fresh seed;
  // unusable parameters (DC1 = DC2 for uniform noise, DC2 <= 0 for Gaussian
  // noise) set ParameterError instead. Other types: nothing.
  void InitRandom();

  // Writes one block of the selected signal into MPoint's time signal.
  // Failures are never raised: they leave ParameterError and Dirty true.
  void Execute() override;

private:
  void WriteBlock(float* x, int32_t N);
  float NewSeed();

  bool FRealTime = false;
  float FDC2 = 0.0f;
  float FSA1 = 1.0f;
  float FSP2 = 0.0f;
  float FSP3 = 0.0f;
  float FSP1 = 0.0f;
  float FDC3 = 0.0f;
  float FSA2 = 0.0f;
  float FSA3 = 0.0f;
  float FSF3 = 0.0f;
  float FSF2 = 0.0f;
  float FDC1 = 0.0f;
  float FFDV = 1.0f;
  float FSF1 = 1.0f;
  TMeasuringPoint* FMPoint = nullptr;
  TSignalType FSignalType = stSine;
  bool FParameterError = false;
  int32_t FSampleOffset = 0;  // running sample index at the start of the next block
  bool FAdjustPhase = false;
  TRandGausState FGaussState;
  TRandUniState FUniformState;
  bool FHarmonic = false;
  std::minstd_rand FSeedSource;  // draws the seeds 0.0, 0.1, ... 0.9
};

// The generator the program creates; publishes TSignalGeneration's properties.
class TSignal : public TSignalGeneration {
public:
  using TSignalGeneration::TSignalGeneration;
};

}  // namespace quellmarin
