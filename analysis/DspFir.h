#pragma once
// FIR design by the Kaiser window method: the ideal (brick-wall) impulse
// response of a low pass, high pass, band pass or band stop filter, cut to N
// taps around a centre index and weighted by a Kaiser window whose shape
// follows from the stop-band attenuation; N follows from Kaiser's length
// estimate for the narrowest transition band.
//
// Pure functions: no state, no allocation, callable from any thread.
// Intermediate values (attenuation, transition width, beta, cut-offs, window
// weights, taps) are held as 32-bit floats between steps; the arithmetic in
// between runs in double precision.

#include <cstdint>

namespace quellmarin {

enum TFilterType { ftLowPass = 0, ftHighPass = 1, ftBandPass = 2, ftBandStop = 3 };

// Kaiser's window parameter beta for an attenuation of A dB.
float KaiserBeta(float A);

// Kaiser's length estimate for a transition band from LowerEdge to UpperEdge
// (Hz) at Nyquist frequency FN (Hz) and linear ripple Ripple. Always even;
// zero or negative for attenuations below 8 dB.
// Throws std::domain_error for Ripple <= 0 (or NaN), FN = 0 or an empty band,
// std::range_error when the estimate leaves the 32-bit signed range.
int32_t KaiserLength(float LowerEdge, float UpperEdge, float FN, float Ripple);

// Writes Taps[0 .. N - 1]: the taps at offsets -M .. N - 1 - M about the centre
// index M = N div 2. E1..E2 and E3..E4 are the two transition bands (Hz; a low
// or high pass passes 0 for E3 and E4); their middles are the cut-offs. N <= 0
// or a filter type outside the four writes nothing.
// Throws std::domain_error for Ripple <= 0, FN = 0 or non-finite cut-offs and
// std::overflow_error when the window overflows; a throwing call writes no tap.
void KaiserFirDesign(int32_t N, float* Taps, float E1, float E2, float E3, float E4, float FN, float Ripple,
                     TFilterType FilterType);

// Modified Bessel function of the first kind, order 0, by its power series.
float BesselI0(float x);

}  // namespace quellmarin
