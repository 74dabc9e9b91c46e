#pragma once
// Round tick steps for the charts' value axes: 1, 2 or 5 x 10^n, so that the
// ticks read 2000 or 0.005 rather than 12298.7 or 0.00315228.
//
// Threads: a pure function.

namespace quellmarin {

// The smallest step of the form 1, 2 or 5 x 10^n that divides Span into at
// most MaxTicks intervals. 0 when there is no step (a span that is not
// positive and finite, MaxTicks below 1).
double RoundTickStep(double Span, int MaxTicks);

}  // namespace quellmarin
