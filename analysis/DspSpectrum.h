#pragma once
// Spectrum kernels: time windows and their amplitude corrections, mean removal,
// the radix-2 complex FFT and the real-input FFT built on it, unpacking of the
// packed real transform, magnitude and phase, RMS, power and decibel
// conversions, extremes and small buffer helpers.
//
// Every routine is a free function working in place on float buffers. A count
// n tells how many elements to touch; a count of 0 or less does nothing unless
// a routine says otherwise. Elements are loaded as 32-bit floats, computed in
// double precision and stored back as 32-bit floats (the FFTs compute in
// 32-bit floats: they run on dsplib's FFT, the one the FIR filter's fast
// convolution uses). None reports errors: the buffers must hold every element
// named, and FFT lengths must be powers of two. None allocates, except that a
// thread's first FFT of a length builds that length's plan, kept for the
// thread's life (PrepareTransforms builds it ahead). Plain routines index from 0; the two FFT
// routines index from 1 (element 0 is not touched; ShiftByOne moves a 0-based
// block into that layout). Complex values are pairs: real part at the odd
// index, imaginary part at the following even index.
//
// Thread safety: no shared state (each thread has its own FFT plans); any
// thread may call them, on buffers no other thread touches meanwhile. Safe on
// the audio thread once PrepareTransforms ran there for the lengths it uses.

#include <cstdint>

namespace quellmarin {

// Time window applied before the transform.
enum TTimeWindow {
  wtRectangular = 0,
  wtHanning = 1,
  wtHamming = 2,
  wtFlatTop = 3,
  wtBartlet = 4,
  wtBlackman = 5,
  wtExponent = 6
};

// Decibel reference: relative to a given level, or to 1.
enum TLogType { ltAbsolute = 0, ltRelative = 1 };

// Mean of x[0..n-1], summed upwards in a 32-bit float accumulator (rounded
// after every addition); 0 for an empty block.
float MeanValue(int32_t n, const float* x);

// x[i] := x[i] - c.
void SubtractValue(int32_t n, float* x, float c);

// x[i] := w(i) * x[i] with the window's weights, periodic in n (the
// exponential window falls from 1 at i = 0 to 0.01 at i = n - 1; a single
// sample keeps weight 1).
void ApplyWindow(TTimeWindow window, int32_t n, float* x);

// x[i] := K * x[i] with the window's amplitude correction K, so that a
// sinusoid shows its peak amplitude with every window but the exponential one.
void WindowCorrection(int32_t n, TTimeWindow window, float* x);

// x[i + 1] := x[i] for i from n - 1 down to 0 (in place); x[0] keeps its value.
void ShiftByOne(int32_t n, float* x);

// Builds the calling thread's FFT plan for transforms of 2n real values (n
// complex values), so that its later RealFFT and ComplexFFT of that size
// allocate nothing. Allocates; call it before a real-time loop starts.
void PrepareTransforms(int32_t n);

// In-place transform of nn complex values in data[1..2nn] (nn a power of two):
// Z_k = sum_j z_j e^{sign 2 pi i jk/nn}, unnormalised.
void ComplexFFT(float* data, int32_t nn, int32_t sign);

// In-place transform of 2n real values in data[1..2n] (n a power of two).
// Forward (sign +1): X_k = sum_j u_j e^{+2 pi i jk/(2n)} packed as data[1] = X_0,
// data[2] = X_n, data[2k+1], data[2k+2] = Re, Im of X_k for k = 1..n-1.
// Inverse (sign -1) on such packed output gives the samples times n.
void RealFFT(float* data, int32_t n, int32_t sign);

// re[i] := data[2i+1] / n; im[i] := data[2i+2] / n for i = 0..n-1. Bin 0 gets
// X_0 as its real part and X_n as its imaginary part.
void UnpackSpectrum(int32_t n, const float* data, float* re, float* im);

// a[i] := magnitude and b[i] := two-quadrant phase in degrees (-90..90; 90
// when the real part is 0) of the pair (a[i], b[i]).
void MagnitudePhase(int32_t n, float* a, float* b);

// x[i] := f * x[i].
void ScaleValues(int32_t n, float* x, float f);

// x[i] := x[i] / 1.4142135 (RMS of a sinusoid from its peak).
void DivideBySqrt2(int32_t n, float* x);

// x[i] := x[i] * x[i].
void SquareValues(int32_t n, float* x);

// Decibels with a floor. ltAbsolute: 20 log10(x / ref), floor -span.
// ltRelative: 20 log10(x), floor 20 log10(ref) - span (-span when ref is not
// positive). A value of 0, and any value without a real logarithm, reads the
// floor; nothing reads below it.
void ToDecibels(int32_t n, float* x, float span, float ref, TLogType logType);

// Largest / smallest of x[0..n-1], scanned upwards from x[0]; x[0] for n <= 0.
float FindMax(int32_t n, const float* x);
float FindMin(int32_t n, const float* x);

// dst[i] := src[i].
void CopyValues(int32_t n, const float* src, float* dst);

}  // namespace quellmarin
