#pragma once
// The program's one FFT: a real FFT of one fixed power-of-two length, in split
// form, with the complex transform of half that length it is built on. Fast
// convolution (the FIR filter) and the spectrum kernels (RealFFT, ComplexFFT)
// both run on it. The plan prepares its twiddles and scratch once (Init, which
// allocates); the transforms allocate nothing. Lengths from 128 up run
// eight-lane vector loops; shorter ones run the same stages value by value.
//
// Split form: N real samples u[0 .. N - 1] are passed as two arrays of
// n = N / 2 floats, Re[k] = u[2k] and Im[k] = u[2k + 1]. A spectrum is passed
// as bins 0 .. n (n + 1 complex values; bins 0 and n are real), real parts in
// one array and imaginary parts in another, each holding SpectrumFloats().
//
// Scaling, chosen so that neither direction spends a pass on it:
//   Forward gives 2 * U[k], U[k] = sum_j u[j] e^{-2 pi i jk / N};
//   Inverse of bins Y gives N * y, y the real sequence whose spectrum is Y.
// So Inverse(Forward(u) * Forward(h) / (4 N)) is the circular convolution u * h.
//
// Threads: a plan belongs to one caller at a time (its scratch is shared by
// both directions).

#include <cstdint>
#include <memory>

namespace quellmarin {

namespace fft_detail {
struct TAlignedFree {
  void operator()(float* p) const noexcept;
};
using TAlignedFloats = std::unique_ptr<float[], TAlignedFree>;
// Zeroed, 64-byte aligned storage for Count floats.
TAlignedFloats AllocateFloats(int64_t Count);
}  // namespace fft_detail

class TRealFft {
public:
  static constexpr int32_t MinLength = 2;
  static constexpr int32_t MaxLength = 1 << 22;

  // Prepares the plan for N real samples (a power of two within
  // MinLength .. MaxLength, else std::invalid_argument). Wide selects the
  // AVX2/FMA kernels; the processor must have them. A failed call (also
  // std::bad_alloc) leaves the plan as it was.
  void Init(int32_t N, bool Wide);

  int32_t Length() const { return FLength; }
  // Floats each spectrum array must hold: n + 1 bins, padded for the vector loops.
  int32_t SpectrumFloats() const { return FLength / 2 + 16; }

  // InRe/InIm (n floats each) to bins 0 .. n in OutRe/OutIm. The inputs are
  // left unchanged; the outputs must not overlap them.
  void Forward(const float* InRe, const float* InIm, float* OutRe, float* OutIm);
  // Bins 0 .. n in InRe/InIm to n floats each in OutRe/OutIm. The inputs are
  // left unchanged; the outputs must not overlap them.
  void Inverse(const float* InRe, const float* InIm, float* OutRe, float* OutIm);
  // The complex transform the real one is built on: n = N / 2 complex values
  // in InRe/InIm to Z[k] = sum_j z[j] e^{-2 pi i jk / n} in OutRe/OutIm,
  // unnormalised. The opposite exponent is the same call with real and
  // imaginary parts swapped on both sides. Inputs unchanged; no overlap.
  void Complex(const float* InRe, const float* InIm, float* OutRe, float* OutIm);
  // N samples U to split form in Re/Im (n floats each), and back.
  void Split(const float* U, float* Re, float* Im) const;
  void Join(const float* Re, const float* Im, float* U) const;
  // Re/Im[k] *= HRe/HIm[k] for the bins 0 .. n (and the padding after them).
  void Multiply(float* Re, float* Im, const float* HRe, const float* HIm) const;

  // Whether this processor has the AVX2/FMA kernels (Init's Wide).
  static bool WideAvailable();

private:
  struct TStage {
    int32_t Stride = 0;    // s: distance between the values one butterfly joins, in units of the sub-transform
    int32_t Radix = 4;     // 4, or 2 for the last stage of an odd power of two
    int32_t Twiddles = 0;  // floats in each of the stage's six twiddle arrays
    int64_t Offset = 0;    // where those arrays start in FTwiddles
  };
  void RunStages(const float* InRe, const float* InIm, float* OutRe, float* OutIm);

  int32_t FLength = 0;
  bool FWide = false;
  int32_t FStageCount = 0;
  TStage FStages[12];
  fft_detail::TAlignedFloats FTwiddles;  // per stage: w1 re, w1 im, w2 re, w2 im, w3 re, w3 im
  fft_detail::TAlignedFloats FHalf;      // cos and sin of 2 pi k / N, k = 0 .. n / 2 (+ padding), two arrays
  fft_detail::TAlignedFloats FScratch;   // three pairs of n floats
};

}  // namespace quellmarin
