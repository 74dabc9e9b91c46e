#include "app/ToneFrequency.h"

#include <algorithm>
#include <cmath>

namespace quellmarin {

namespace {

// |X(w)|^2 of the Hann-windowed block at the angular frequency Omega (radians
// per sample). Phasor recurrences in double precision: no trigonometry per
// sample, drift far below what matters over a block.
double Power(const float* Signal, int32_t Count, double Mean, double Omega) {
  const double TwoPi = 2.0 * M_PI;
  const double wc = std::cos(Omega), ws = -std::sin(Omega);      // e^{-i Omega}
  const double hc = std::cos(TwoPi / Count), hs = std::sin(TwoPi / Count);  // window's phasor step
  double pr = 1.0, pi = 0.0;  // e^{-i Omega n}
  double qr = 1.0, qi = 0.0;  // e^{i 2 pi n / Count}
  double re = 0.0, im = 0.0;
  for (int32_t n = 0; n < Count; ++n) {
    const double v = (Signal[n] - Mean) * (0.5 - 0.5 * qr);
    re += v * pr;
    im += v * pi;
    const double npr = pr * wc - pi * ws;
    pi = pr * ws + pi * wc;
    pr = npr;
    const double nqr = qr * hc - qi * hs;
    qi = qr * hs + qi * hc;
    qr = nqr;
  }
  return re * re + im * im;
}

}  // namespace

double ToneFrequency(const float* Signal, int32_t Count, double SampleRate, double CoarseHz, double SpanHz) {
  if (Signal == nullptr || Count < 2 || !(SampleRate > 0) || !(SpanHz > 0) || !std::isfinite(CoarseHz))
    return CoarseHz;
  double Mean = 0.0;
  for (int32_t n = 0; n < Count; ++n) Mean += Signal[n];
  Mean /= Count;
  const double ToOmega = 2.0 * M_PI / SampleRate;
  double a = std::max(0.0, CoarseHz - SpanHz);
  double b = std::min(SampleRate / 2, CoarseHz + SpanHz);
  if (!(b > a)) return CoarseHz;
  // Golden-section search down to a hundredth of a hertz.
  const double g = (std::sqrt(5.0) - 1.0) / 2.0;
  double c = b - g * (b - a), d = a + g * (b - a);
  double fc = Power(Signal, Count, Mean, c * ToOmega), fd = Power(Signal, Count, Mean, d * ToOmega);
  while (b - a > 1e-2) {
    if (fc >= fd) {
      b = d;
      d = c;
      fd = fc;
      c = b - g * (b - a);
      fc = Power(Signal, Count, Mean, c * ToOmega);
    } else {
      a = c;
      c = d;
      fc = fd;
      d = a + g * (b - a);
      fd = Power(Signal, Count, Mean, d * ToOmega);
    }
  }
  return (a + b) / 2;
}

}  // namespace quellmarin
