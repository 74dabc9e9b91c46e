#include "app/ResponseMeter.h"

#include <algorithm>
#include <cmath>

#include "analysis/DspSpectrum.h"

namespace quellmarin {

namespace {
// A bin counts as having input energy when its power is this many times what
// rounding to 16 bits alone gives it (10 dB).
constexpr double EnergyMargin = 10.0;
}  // namespace

TResponseMeter::TResponseMeter(double SampleRate)
    : FSampleRate(SampleRate > 0 ? SampleRate : 20000.0),
      FPower(Bins),
      FCrossRe(Bins),
      FCrossIm(Bins),
      FWindow(FftLength),
      FX(FftLength + 1),
      FY(FftLength + 1) {}

void TResponseMeter::Reset(int32_t Delay) {
  FDelay = std::max(0, Delay);
  FBlocks = 0;
  FFloor = 0;
  std::fill(FPower.begin(), FPower.end(), 0.0);
  std::fill(FCrossRe.begin(), FCrossRe.end(), 0.0);
  std::fill(FCrossIm.begin(), FCrossIm.end(), 0.0);
}

void TResponseMeter::Transform(const int16_t* Samples, int32_t Count, std::vector<float>& Buffer) const {
  double mean = 0;
  for (int32_t i = 0; i < Count; ++i) mean += Samples[i];
  mean /= Count;
  // The packed real transform indexes from 1.
  Buffer[0] = 0;
  for (int32_t i = 0; i < Count; ++i)
    Buffer[static_cast<size_t>(i) + 1] = static_cast<float>((Samples[i] - mean) * FWindow[static_cast<size_t>(i)]);
  std::fill(Buffer.begin() + Count + 1, Buffer.end(), 0.0f);
  RealFFT(Buffer.data(), FftLength / 2, 1);
}

void TResponseMeter::Add(const int16_t* Input, const int16_t* Output, int32_t Count) {
  if (Input == nullptr || Output == nullptr || Count - FDelay < 16) return;
  Output += FDelay;
  Count = std::min(Count - FDelay, FftLength);
  if (Count != FWindowLength) {
    // A block of another length: the sums so far were windowed differently.
    if (FBlocks > 0) Reset(FDelay);
    FWindowLength = Count;
    // The Hann window's main lobe is 2 x FftLength / Count bins wide on each side.
    FFirstBin = 2 * FftLength / Count + 1;
    FWindowPower = 0;
    for (int32_t i = 0; i < Count; ++i) {
      const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * i / Count);
      FWindow[static_cast<size_t>(i)] = static_cast<float>(w);
      FWindowPower += w * w;
    }
  }
  Transform(Input, Count, FX);
  Transform(Output, Count, FY);
  for (int32_t k = 1; k < Bins; ++k) {
    const double xr = FX[static_cast<size_t>(2 * k + 1)], xi = FX[static_cast<size_t>(2 * k + 2)];
    const double yr = FY[static_cast<size_t>(2 * k + 1)], yi = FY[static_cast<size_t>(2 * k + 2)];
    FPower[static_cast<size_t>(k)] += xr * xr + xi * xi;
    FCrossRe[static_cast<size_t>(k)] += xr * yr + xi * yi;
    FCrossIm[static_cast<size_t>(k)] += xr * yi - xi * yr;
  }
  // Rounding to 16 bits: uniform noise of 1/12 per sample, windowed.
  FFloor += FWindowPower / 12.0;
  ++FBlocks;
}

bool TResponseMeter::GainDb(int32_t Bin, double& Db) const {
  if (FBlocks == 0 || Bin < FFirstBin || Bin >= Bins) return false;
  const auto k = static_cast<size_t>(Bin);
  if (!(FPower[k] > EnergyMargin * FFloor)) return false;
  const double gain = std::hypot(FCrossRe[k], FCrossIm[k]) / FPower[k];
  // A gain of exactly 0 (an output of silence) reads as the floor of doubles.
  Db = 20.0 * std::log10(std::max(gain, 1e-15));
  return true;
}

TResponseMeter::TFigures TResponseMeter::Figures(const float* Design, int32_t Count, double Ripple,
                                                 double StopBandAttDb) const {
  TFigures f;
  if (Design == nullptr) return f;
  const double stopPercent = 100.0 * std::pow(10.0, -StopBandAttDb / 20.0);
  double worstStop = -1e300;
  for (int32_t k = 1; k < std::min(Count, Bins); ++k) {
    double db = 0;
    if (!GainDb(k, db)) continue;
    const double d = Design[k];
    if (std::fabs(d - 100.0) <= 100.0 * Ripple) {
      ++f.PassBins;
      f.RippleDb = std::max(f.RippleDb, std::fabs(db));
    } else if (d < stopPercent) {
      ++f.StopBins;
      worstStop = std::max(worstStop, db);
    }
  }
  if (f.StopBins > 0) f.StopBandAttDb = -worstStop;
  return f;
}

double RippleToDb(double Ripple) { return 20.0 * std::log10(1.0 + std::max(0.0, Ripple)); }

}  // namespace quellmarin
