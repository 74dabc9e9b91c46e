#include "app/AxisTicks.h"

#include <cmath>
#include <initializer_list>

namespace quellmarin {

double RoundTickStep(double Span, int MaxTicks) {
  if (!(Span > 0) || !std::isfinite(Span) || MaxTicks < 1) return 0;
  const double Raw = Span / MaxTicks;
  double Decade = std::pow(10.0, std::floor(std::log10(Raw)));
  // log10 may land a hair below an exact power of ten.
  if (Decade * 10 <= Raw) Decade *= 10;
  for (double Mantissa : {1.0, 2.0, 5.0, 10.0}) {
    const double Step = Mantissa * Decade;
    // A relative tolerance: 1000 / 5 is 200 and not a hair above.
    if (Step >= Raw * (1 - 1e-12)) return Step;
  }
  return 10 * Decade;
}

}  // namespace quellmarin
