#include "analysis/DspSpectrum.h"

#include <cmath>
#include <utility>

namespace quellmarin {

namespace {

constexpr double kPi = 3.141592653589793;
// The transforms' 2 pi, to 15 digits.
constexpr double kTwoPi = 6.28318530717959;
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

void ComplexFFT(float* data, int32_t nn, int32_t sign) {
  if (nn <= 0) return;
  const int64_t t = 2 * int64_t{nn};  // number of floats

  // Bit reversal: exchange each pair with its bit-reversed partner once.
  int64_t r = 1;
  for (int64_t i = 1; i < t; i += 2) {
    if (r > i) {
      std::swap(data[r], data[i]);
      std::swap(data[r + 1], data[i + 1]);
    }
    int64_t h = t / 2;
    while (h >= 2 && r > h) {
      r -= h;
      h /= 2;
    }
    r += h;
  }

  // Butterfly stages; the twiddle advances by recurrence, two sines a stage.
  for (int64_t l = 2; t > l; l *= 2) {
    const double theta = kTwoPi / (static_cast<double>(sign) * l);
    const double sh = std::sin(0.5 * theta);
    const double alpha = -2.0 * sh * sh;
    const double beta = std::sin(theta);
    double c = 1.0;
    double s = 0.0;
    for (int64_t m = 1; m < l; m += 2) {
      for (int64_t i = m; i <= t; i += 2 * l) {
        const int64_t p = i + l;
        const double tr = c * data[p] - s * data[p + 1];
        const double ti = c * data[p + 1] + s * data[p];
        const double ur = data[i];
        const double ui = data[i + 1];
        data[p] = static_cast<float>(ur - tr);
        data[p + 1] = static_cast<float>(ui - ti);
        data[i] = static_cast<float>(ur + tr);
        data[i + 1] = static_cast<float>(ui + ti);
      }
      const double oc = c;
      c = oc + oc * alpha - s * beta;
      s = s + s * alpha + oc * beta;
    }
  }
}

void RealFFT(float* data, int32_t n, int32_t sign) {
  if (n <= 0) return;
  double theta = kTwoPi / (2.0 * n);
  double g;
  if (sign == 1) {
    g = -0.5;
    ComplexFFT(data, n, 1);
  } else {
    g = 0.5;
    theta = -theta;
  }
  const double sh = std::sin(0.5 * theta);
  const double alpha = -2.0 * sh * sh;
  const double beta = std::sin(theta);
  double c = 1.0 + alpha;
  double s = beta;
  const int64_t last = n / 2 + 1;
  for (int64_t k = 2; k <= last; ++k) {
    const int64_t p1 = 2 * k - 1;
    const int64_t p2 = p1 + 1;
    const int64_t q1 = 2 * int64_t{n} + 3 - p2;
    const int64_t q2 = q1 + 1;
    const double e1 = 0.5 * (static_cast<double>(data[p1]) + data[q1]);
    const double e2 = 0.5 * (static_cast<double>(data[p2]) - data[q2]);
    const double o1 = -g * (static_cast<double>(data[p2]) + data[q2]);
    const double o2 = g * (static_cast<double>(data[p1]) - data[q1]);
    // On the middle pair (p1 = q1) the last two writes stand.
    data[p1] = static_cast<float>(e1 + c * o1 - s * o2);
    data[p2] = static_cast<float>(e2 + c * o2 + s * o1);
    data[q1] = static_cast<float>(e1 - c * o1 + s * o2);
    data[q2] = static_cast<float>(-e2 + c * o2 + s * o1);
    const double oc = c;
    c = oc + oc * alpha - s * beta;
    s = s + s * alpha + oc * beta;
  }
  const double h = data[1];
  if (sign == 1) {
    data[1] = static_cast<float>(h + data[2]);
    data[2] = static_cast<float>(h - data[2]);
  } else {
    data[1] = static_cast<float>(0.5 * (h + data[2]));
    data[2] = static_cast<float>(0.5 * (h - data[2]));
    ComplexFFT(data, n, -1);
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
