#include "analysis/SignalGeneration.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <numbers>

namespace quellmarin {

namespace {

constexpr double kPi = std::numbers::pi;
// The running sample index restarts at 0 once it passes this value.
constexpr int64_t kMaxSampleOffset = 2000000000;

// Stores one sample. Arithmetic that leaves the finite float range (an
// overflow, or NaN from an infinite or NaN setting) fails the block before the
// value reaches the buffer, so a signal never holds NaN or infinity.
inline void Put(float* x, int32_t i, double Value) {
  if (!(std::fabs(Value) <= std::numeric_limits<float>::max())) throw EEntryInvalid();
  x[i] = static_cast<float>(Value);
}

inline void RequireFinite(double Value) {
  if (!std::isfinite(Value)) throw EEntryInvalid();
}

uint32_t SeedForSeedSource() {
  try {
    return std::random_device{}();
  } catch (...) {
    return static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
}

}  // namespace

TSignalGeneration::TSignalGeneration(TComponent* Owner)
    : TAnalysis(Owner), FSeedSource(SeedForSeedSource()) {}

void TSignalGeneration::SetRealTime(bool Value) {
  FRealTime = Value;
  FSampleOffset = 0;
  FDirty = true;
}

void TSignalGeneration::SetAdjustPhase(bool Value) {
  FAdjustPhase = Value;
  FDirty = true;
}

void TSignalGeneration::SetFDV(float Value) {
  FFDV = Value == 0.0f ? 1.0f : Value;
  FDirty = true;
}

#define QM_FLOAT_SETTER(Name)                         \
  void TSignalGeneration::Set##Name(float Value) {    \
    F##Name = Value;                                  \
    FDirty = true;                                    \
  }
QM_FLOAT_SETTER(SF1)
QM_FLOAT_SETTER(SP1)
QM_FLOAT_SETTER(SA1)
QM_FLOAT_SETTER(DC1)
QM_FLOAT_SETTER(SF2)
QM_FLOAT_SETTER(SP2)
QM_FLOAT_SETTER(SA2)
QM_FLOAT_SETTER(DC2)
QM_FLOAT_SETTER(SF3)
QM_FLOAT_SETTER(SP3)
QM_FLOAT_SETTER(SA3)
QM_FLOAT_SETTER(DC3)
#undef QM_FLOAT_SETTER

void TSignalGeneration::SetSignalType(TSignalType Value) {
  FSignalType = Value;
  FDirty = true;
}

void TSignalGeneration::SetMPoint(TMeasuringPoint* Value) {
  FMPoint = Value;
  FDirty = true;
}

void TSignalGeneration::SetHarmonic(bool Value) {
  FHarmonic = Value;
  FDirty = true;
}

float TSignalGeneration::NewSeed() {
  std::uniform_int_distribution<int> digit(0, 9);
  return static_cast<float>(digit(FSeedSource)) / 10.0f;
}

void TSignalGeneration::InitRandom() {
  switch (FSignalType) {
    case stRandomNoise:
      if (FDC2 == FDC1 || !std::isfinite(FDC1) || !std::isfinite(FDC2))
        FParameterError = true;
      else
        nspsRandUniInit(NewSeed(), FDC1 / 10, FDC2 / 10, &FUniformState);
      break;
    case stGaussNoise:
      if (!(FDC2 > 0) || !std::isfinite(FDC1) || !std::isfinite(FDC2))
        FParameterError = true;
      else
        nspsRandGausInit(NewSeed(), FDC1 / 10, FDC2 / 10, &FGaussState);
      break;
    default:
      break;
  }
}

void TSignalGeneration::Execute() {
  if (!Active()) return;

  float* x = nullptr;  // set once the block's buffer is known to hold N samples
  int32_t N = 0;
  try {
    // A point is usable only with a positive length and a positive record
    // time (a negative or NaN time never sizes its buffers).
    if (FMPoint == nullptr || !(FMPoint->SampleTime() > 0) || FMPoint->Length() <= 0)
      throw EEntryInvalid();
    if (!FMPoint->Active()) return;
    const TTImeSignal* signal = FMPoint->TimeSignal;
    if (signal == nullptr || signal->Data == nullptr || signal->Length < FMPoint->Length())
      throw EEntryInvalid();
    N = FMPoint->Length();
    x = signal->Data;

    if (FSA1 == 0 && FDC1 == 0) throw EEntryInvalid();
    if (FSF1 == 0 && FDC1 == 0) throw EEntryInvalid();
    if (FDirty) InitRandom();
    WriteBlock(x, N);
    FParameterError = false;
    FDirty = false;
  } catch (...) {
    FParameterError = true;
    FDirty = true;
  }

  // Without a usable point N stays 0: the index holds in real time and no
  // sample is nudged.
  if (FRealTime) {
    const int64_t next = int64_t{FSampleOffset} + N;
    FSampleOffset = next > kMaxSampleOffset ? 0 : static_cast<int32_t>(next);
  } else {
    FSampleOffset = 0;
  }
  if (FAdjustPhase && x != nullptr) x[N / 2] += 0.001f;
}

void TSignalGeneration::WriteBlock(float* x, int32_t N) {
  const TTImeSignal& signal = *FMPoint->TimeSignal;
  const double T = FMPoint->SampleTime();
  const double offsets = double{FDC1} + FDC2 + FDC3;
  const int64_t start = FSampleOffset;

  // Sine family: component k runs at SFk / FDV hertz from phase SPk degrees;
  // y is the component's position in half cycles at running index n.
  const double perIndex = 2.0 * T / (static_cast<double>(N) * FFDV);
  auto y = [&](float SF, int64_t n) { return SF * perIndex * static_cast<double>(n); };
  auto phase = [&](float SF, float SP, int64_t n) { return kPi * (y(SF, n) + SP / 180.0); };

  // Triangle and square wave: degrees advanced per sample, reduced to one turn.
  const double degreesPerIndex =
      double{FSF1} * T * signal.Duration / static_cast<double>(signal.Length) * 360.0;
  auto reduced = [&](int64_t n) {
    const double p = degreesPerIndex * static_cast<double>(n) + FSP1;
    RequireFinite(p);
    return p - 360.0 * std::trunc(p / 360.0);
  };

  switch (FSignalType) {
    case stSine:
      for (int32_t i = 0; i < N; ++i) {
        const int64_t n = start + i;
        double v = FSA1 * std::sin(phase(FSF1, FSP1, n));
        if (FHarmonic) {
          const double y1 = y(FSF1, n);
          v += FSA2 * std::sin(kPi * (2 * y1 + FSP2 / 180.0));
          v += FSA3 * std::sin(kPi * (3 * y1 + FSP3 / 180.0));
        } else {
          v += FSA2 * std::sin(phase(FSF2, FSP2, n));
          v += FSA3 * std::sin(phase(FSF3, FSP3, n));
        }
        Put(x, i, v + offsets);
      }
      break;

    case stImpuls: {
      if (FSF1 == 0) SetSF1(1);
      if (FSF2 == 0) SetSF2(1);
      if (FSF3 == 0) SetSF3(1);
      const float SF[3] = {FSF1, FSF2, FSF3};
      const float SP[3] = {FSP1, FSP2, FSP3};
      const float SA[3] = {FSA1, FSA2, FSA3};
      for (int32_t i = 1; i < N; ++i) {
        const int64_t n = start + i;
        double v = offsets;
        for (int k = 0; k < 3; ++k) {
          const double yk = y(SF[k], n);
          v += SA[k] * std::sin(kPi * ((k + 1) * yk + SP[k] / 180.0)) / (kPi * yk);
        }
        Put(x, i, v);
      }
      x[0] = 0.0f;
      break;
    }

    case stTriangle:
      for (int32_t i = 0; i < N; ++i) {
        const double r = reduced(start + i);
        if (r < 0) continue;  // a negative phase leaves the sample as it was
        if (r < 90)
          Put(x, i, 2 * r / 180 * FSA1);
        else if (r < 270)
          Put(x, i, (1 - r / 180) * 2 * FSA1);
        else
          Put(x, i, (r / 180 - 2) * 2 * FSA1);
      }
      break;

    case stSquare:
      for (int32_t i = 0; i < N; ++i) {
        const double r = reduced(start + i);
        if (r < 0) continue;
        Put(x, i, r < 180 ? double{FSA1} + FDC1 : -double{FSA1} + FDC1);
      }
      break;

    case stChirp: {
      // Sweeps from SF1 to SF2 over the block; starts afresh in every block.
      const double scale = T * signal.Duration / static_cast<double>(signal.Length);
      const double a = (double{FSF2} - FSF1) * scale * 2 * kPi / N;
      const double b = 2 * kPi * FSF1 * scale;
      for (int32_t i = 0; i < N; ++i) Put(x, i, FSA1 * std::sin(i * (a / 2 * i + b)) + FDC1);
      break;
    }

    case stMultiply:
      for (int32_t i = 0; i < N; ++i) {
        const int64_t n = start + i;
        if (FSA2 == 0 || FSF2 == 0) {
          Put(x, i, FSA1 * std::sin(phase(FSF1, FSP1, n)));
        } else if (FSA1 == 0 || FSF1 == 0) {
          Put(x, i, FSA2 * std::sin(phase(FSF2, FSP2, n)));
        } else {
          const double s1 = FSA1 * std::sin(phase(FSF1, FSP1, n));
          const double s2 = FSA2 * std::sin(phase(FSF2, FSP2, n));
          Put(x, i, s1 * s2 + s1 + s2);
        }
      }
      break;

    case stDelta:
      for (int32_t i = 0; i < N; ++i) Put(x, i, offsets);
      Put(x, N / 2, x[N / 2] + static_cast<double>(N) * FSA1 / 2);
      break;

    case stRandomNoise:
      if (FDC2 == FDC1) break;
      RequireFinite(FDC1);
      RequireFinite(FDC2);
      nspsRandUniInit(NewSeed(), FDC1 / 10, FDC2 / 10, &FUniformState);
      nspsbRandUni(&FUniformState, x, N);
      break;

    case stGaussNoise:
      if (!(FDC2 > 0)) break;
      RequireFinite(FDC1);
      RequireFinite(FDC2);
      nspsRandGausInit(NewSeed(), FDC1 / 10, FDC2 / 10, &FGaussState);
      nspsbRandGaus(&FGaussState, x, N);
      break;

    default:  // a stored value that names no signal type
      throw EEntryInvalid();
  }
}

}  // namespace quellmarin
