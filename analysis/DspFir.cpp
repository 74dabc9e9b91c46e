#include "analysis/DspFir.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace quellmarin {

namespace {
constexpr double kPi = std::numbers::pi;

// Attenuation in dB for a linear ripple; the ripple must be positive.
float Attenuation(float Ripple) {
  if (!(Ripple > 0.0f)) throw std::domain_error("FIR design: the ripple must be positive");
  return static_cast<float>(-20.0 * std::log10(static_cast<double>(Ripple)));
}
}  // namespace

float KaiserBeta(float A) {
  const double a = A;
  if (a > 50.0) return static_cast<float>(0.1102 * (a - 8.7));
  if (a >= 21.0) return static_cast<float>(0.5842 * std::pow(a - 21.0, 0.4) + 0.07886 * (a - 21.0));
  return 0.0f;
}

int32_t KaiserLength(float LowerEdge, float UpperEdge, float FN, float Ripple) {
  const float a = Attenuation(Ripple);
  if (FN == 0.0f || UpperEdge == LowerEdge)
    throw std::domain_error("FIR design: empty transition band or zero Nyquist frequency");
  const float dw =
      static_cast<float>(kPi * (static_cast<double>(UpperEdge) - static_cast<double>(LowerEdge)) / FN);
  if (dw == 0.0f) throw std::domain_error("FIR design: transition band too narrow");
  const double raw = std::nearbyint((static_cast<double>(a) - 8.0) / (2.285 * static_cast<double>(dw)));
  if (!(raw >= std::numeric_limits<int32_t>::min() && raw <= std::numeric_limits<int32_t>::max()))
    throw std::range_error("FIR design: length estimate out of range");
  int64_t n = static_cast<int64_t>(raw);
  if (n % 2 != 0) ++n;
  if (n > std::numeric_limits<int32_t>::max()) throw std::range_error("FIR design: length estimate out of range");
  return static_cast<int32_t>(n);
}

void KaiserFirDesign(int32_t N, float* Taps, float E1, float E2, float E3, float E4, float FN, float Ripple,
                     TFilterType FilterType) {
  if (FN == 0.0f) throw std::domain_error("FIR design: zero Nyquist frequency");
  const float w1 = static_cast<float>((static_cast<double>(E1) + E2) / 2.0 / FN);
  const float w2 = static_cast<float>((static_cast<double>(E3) + E4) / 2.0 / FN);
  if (!std::isfinite(w1) || !std::isfinite(w2)) throw std::domain_error("FIR design: cut-off not finite");
  const float a = Attenuation(Ripple);
  const float beta = KaiserBeta(a);
  const float i0Beta = BesselI0(beta);
  // Every window weight lies between 1 and I0(beta): with that finite, no tap can overflow.
  if (!std::isfinite(i0Beta)) throw std::overflow_error("FIR design: Kaiser window overflows");
  if (N <= 0 || Taps == nullptr) return;
  if (FilterType < ftLowPass || FilterType > ftBandStop) return;

  const int32_t m = N / 2;
  const double W1 = w1, W2 = w2;
  for (int32_t i = 0; i < N; ++i) {
    if (i == m) {
      double centre = 0.0;
      switch (FilterType) {
        case ftLowPass: centre = W1; break;
        case ftHighPass: centre = 1.0 - W1; break;
        case ftBandPass: centre = W2 - W1; break;
        case ftBandStop: centre = 1.0 - W2 + W1; break;
      }
      Taps[i] = static_cast<float>(centre);
      continue;
    }
    const int32_t k = i - m;
    const double r = static_cast<double>(k) / m;
    const float w = BesselI0(static_cast<float>(beta * std::sqrt(1.0 - r * r)));
    const double pk = kPi * k;
    double h = 0.0;
    switch (FilterType) {
      case ftLowPass: h = std::sin(pk * W1) / pk; break;
      case ftHighPass: h = -std::sin(pk * W1) / pk; break;
      case ftBandPass: h = (std::sin(pk * W2) - std::sin(pk * W1)) / pk; break;
      case ftBandStop: h = (std::sin(pk * W1) - std::sin(pk * W2)) / pk; break;
    }
    Taps[i] = static_cast<float>(h * w / i0Beta);
  }
}

float BesselI0(float x) {
  float sum = 1.0f, term = 1.0f, d = 0.0f;
  const double xx = static_cast<double>(x) * x;
  // Compares the previous iteration's term and sum, so the last term computed is
  // always included. An overflow makes the test NaN and ends the loop.
  while (static_cast<double>(term) - 2e-9 * static_cast<double>(sum) > 0.0) {
    d = d + 2.0f;
    term = static_cast<float>(static_cast<double>(term) * xx / (static_cast<double>(d) * d));
    sum = static_cast<float>(static_cast<double>(sum) + term);
  }
  return sum;
}

}  // namespace quellmarin
