#include "analysis/DspSpectrum.h"

#include <bit>
#include <cmath>
#include <memory>

#include "dsplib/Fft.h"

namespace quellmarin {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegreesPerRadian = 57.29577951308232;

// Amplitude corrections, as 32-bit constants: the reciprocal of the window's
// mean weight, except for the exponential window.
constexpr float kCorrectionHanning = 2.0f;
constexpr float kCorrectionHamming = 1.8518518f;
constexpr float kCorrectionFlatTop = 3.5579097f;
constexpr float kCorrectionBartlet = 2.0f;
constexpr float kCorrectionBlackman = 2.3809524f;
constexpr float kCorrectionExponent = 2.5583262f;

constexpr float kSqrt2 = 1.4142135f;

double WindowWeight(TTimeWindow window, int32_t i, int32_t n) {
  const double x = 2.0 * kPi * i / n;
  switch (window) {
    case wtHanning:
      return 0.5 * (1.0 - std::cos(x));
    case wtHamming:
      return 0.54 - 0.46 * std::cos(x);
    case wtFlatTop:
      return 0.2810639 - 0.5208972 * std::cos(x) + 0.1980399 * std::cos(2.0 * x);
    case wtBartlet:
      return 1.0 - std::fabs(static_cast<double>(2 * int64_t{i} - n) / n);
    case wtBlackman:
      return 0.42 - 0.5 * std::cos(x) + 0.08 * std::cos(2.0 * x);
    case wtExponent:
      // A single sample has no fall to spread: it keeps the starting weight.
      if (n < 2) return 1.0;
      return std::exp(std::log(0.01) * i / (n - 1));
    case wtRectangular:
    default:
      return 1.0;
  }
}

}  // namespace

float MeanValue(int32_t n, const float* x) {
  if (n <= 0) return 0.0f;
  float sum = 0.0f;
  for (int32_t i = 0; i < n; ++i) sum += x[i];
  return static_cast<float>(static_cast<double>(sum) / n);
}

void SubtractValue(int32_t n, float* x, float c) {
  for (int32_t i = 0; i < n; ++i) x[i] = static_cast<float>(static_cast<double>(x[i]) - c);
}

void ApplyWindow(TTimeWindow window, int32_t n, float* x) {
  if (window == wtRectangular) return;
  for (int32_t i = 0; i < n; ++i) x[i] = static_cast<float>(WindowWeight(window, i, n) * x[i]);
}

void WindowCorrection(int32_t n, TTimeWindow window, float* x) {
  float k;
  switch (window) {
    case wtHanning: k = kCorrectionHanning; break;
    case wtHamming: k = kCorrectionHamming; break;
    case wtFlatTop: k = kCorrectionFlatTop; break;
    case wtBartlet: k = kCorrectionBartlet; break;
    case wtBlackman: k = kCorrectionBlackman; break;
    case wtExponent: k = kCorrectionExponent; break;
    case wtRectangular:
    default: return;
  }
  ScaleValues(n, x, k);
}

void ShiftByOne(int32_t n, float* x) {
  for (int32_t i = n - 1; i >= 0; --i) x[i + 1] = x[i];
}

namespace {

// The calling thread's transform of one length (Total real values): dsplib's
// plan and the four split-form arrays the packed layouts are copied through.
struct TTransform {
  TRealFft Fft;
  fft_detail::TAlignedFloats Store;
  float* Re = nullptr;
  float* Im = nullptr;
  float* OutRe = nullptr;
  float* OutIm = nullptr;
};

// Built on a thread's first transform of a length and kept for the thread's
// life, so that each later transform allocates nothing.
TTransform& TransformFor(int32_t Total) {
  thread_local std::unique_ptr<TTransform> Transforms[32];
  std::unique_ptr<TTransform>& t = Transforms[std::countr_zero(static_cast<uint32_t>(Total))];
  if (!t) {
    auto made = std::make_unique<TTransform>();
    made->Fft.Init(Total, TRealFft::WideAvailable());
    const int64_t half = Total / 2;
    const int64_t bins = made->Fft.SpectrumFloats();
    made->Store = fft_detail::AllocateFloats(2 * half + 2 * bins);
    made->Re = made->Store.get();
    made->Im = made->Re + half;
    made->OutRe = made->Im + half;
    made->OutIm = made->OutRe + bins;
    t = std::move(made);
  }
  return *t;
}

}  // namespace

void PrepareTransforms(int32_t n) {
  if (n > 0) TransformFor(2 * n);
}

void ComplexFFT(float* data, int32_t nn, int32_t sign) {
  if (nn <= 0) return;
  TTransform& t = TransformFor(2 * nn);
  t.Fft.Split(data + 1, t.Re, t.Im);
  // dsplib's transform has the negative exponent; the positive one is the
  // same transform with real and imaginary parts swapped on both sides.
  if (sign > 0)
    t.Fft.Complex(t.Im, t.Re, t.OutIm, t.OutRe);
  else
    t.Fft.Complex(t.Re, t.Im, t.OutRe, t.OutIm);
  t.Fft.Join(t.OutRe, t.OutIm, data + 1);
}

void RealFFT(float* data, int32_t n, int32_t sign) {
  if (n <= 0) return;
  TTransform& t = TransformFor(2 * n);
  if (sign == 1) {
    // dsplib gives bins 0 .. n of 2 U_k with the negative exponent; for real
    // samples the positive exponent's X_k is the conjugate of U_k.
    t.Fft.Split(data + 1, t.Re, t.Im);
    t.Fft.Forward(t.Re, t.Im, t.OutRe, t.OutIm);
    data[1] = 0.5f * t.OutRe[0];
    data[2] = 0.5f * t.OutRe[n];
    for (int64_t k = 1; k < n; ++k) {
      data[2 * k + 1] = 0.5f * t.OutRe[k];
      data[2 * k + 2] = -0.5f * t.OutIm[k];
    }
  } else {
    // Packed X back to the bins U_k = conj X_k; dsplib's inverse gives the
    // samples times 2n, the packed inverse times n.
    t.OutRe[0] = data[1];
    t.OutIm[0] = 0.0f;
    for (int64_t k = 1; k < n; ++k) {
      t.OutRe[k] = data[2 * k + 1];
      t.OutIm[k] = -data[2 * k + 2];
    }
    t.OutRe[n] = data[2];
    t.OutIm[n] = 0.0f;
    t.Fft.Inverse(t.OutRe, t.OutIm, t.Re, t.Im);
    for (int64_t k = 0; k < n; ++k) {
      data[2 * k + 1] = 0.5f * t.Re[k];
      data[2 * k + 2] = 0.5f * t.Im[k];
    }
  }
}

void UnpackSpectrum(int32_t n, const float* data, float* re, float* im) {
  for (int32_t i = 0; i < n; ++i) {
    re[i] = static_cast<float>(static_cast<double>(data[2 * int64_t{i} + 1]) / n);
    im[i] = static_cast<float>(static_cast<double>(data[2 * int64_t{i} + 2]) / n);
  }
}

void MagnitudePhase(int32_t n, float* a, float* b) {
  for (int32_t i = 0; i < n; ++i) {
    const double r = a[i];
    const double q = b[i];
    a[i] = static_cast<float>(std::sqrt(r * r + q * q));
    b[i] = r != 0.0 ? static_cast<float>(std::atan(q / r) * kDegreesPerRadian) : 90.0f;
  }
}

void ScaleValues(int32_t n, float* x, float f) {
  for (int32_t i = 0; i < n; ++i) x[i] = static_cast<float>(static_cast<double>(f) * x[i]);
}

void DivideBySqrt2(int32_t n, float* x) {
  for (int32_t i = 0; i < n; ++i) x[i] = static_cast<float>(static_cast<double>(x[i]) / kSqrt2);
}

void SquareValues(int32_t n, float* x) {
  for (int32_t i = 0; i < n; ++i) {
    const double v = x[i];
    x[i] = static_cast<float>(v * v);
  }
}

void ToDecibels(int32_t n, float* x, float span, float ref, TLogType logType) {
  double floor;
  double reference;
  if (logType == ltAbsolute) {
    floor = -static_cast<double>(span);
    reference = ref;
  } else {
    // Without a positive reference level there is no level to measure the
    // depth from; the scale then reaches span decibels below 1.
    floor = (ref > 0.0f ? 20.0 * std::log10(static_cast<double>(ref)) : 0.0) - span;
    reference = 1.0;
  }
  for (int32_t i = 0; i < n; ++i) {
    double v = floor;
    if (x[i] != 0.0f) v = 20.0 * std::log10(static_cast<double>(x[i]) / reference);
    // Also catches values without a real logarithm (NaN), which read the floor.
    if (!(v >= floor)) v = floor;
    x[i] = static_cast<float>(v);
  }
}

float FindMax(int32_t n, const float* x) {
  float result = x[0];
  for (int32_t i = 0; i < n; ++i)
    if (x[i] > result) result = x[i];
  return result;
}

float FindMin(int32_t n, const float* x) {
  float result = x[0];
  for (int32_t i = 0; i < n; ++i)
    if (x[i] < result) result = x[i];
  return result;
}

void CopyValues(int32_t n, const float* src, float* dst) {
  for (int32_t i = 0; i < n; ++i) dst[i] = src[i];
}

}  // namespace quellmarin
