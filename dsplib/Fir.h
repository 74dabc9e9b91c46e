#pragma once
// FIR filtering: a taps array and a delay line that carries the filter's
// history from call to call, so that any mix of block calls (nspsbFir) and
// single-sample calls (nspsFir) on one state filters one continuous stream.
//
// Convolution: y[n] = sum over k of taps[k] * x[n - k].
//
// Multi-rate states (nspsFirInitMr) filter at the up-sampled rate: every input
// sample becomes UpFactor samples of an up-sampled stream, the input itself at
// position UpPhase of its group and zeros elsewhere; the filter runs over that
// stream, and of its outputs only those whose running index u satisfies
// u mod DownFactor == DownPhase are kept. The running index counts from 0 at
// the initialisation and carries across calls.
//
// Block filtering (nspsbFir) of a single-rate state whose filter is long picks,
// per call, whichever is cheaper for the block's length: the direct convolution
// that nspsFir also runs, or an FFT overlap-save convolution over the inputs and
// the delay line. Both give the same outputs within float rounding and leave
// the same delay line behind. The FFT plans and buffers are prepared by the
// initialisation; a filter longer than the longest transform reaches
// (fir_detail::kFftMaxTaps) has no FFT path and always filters directly.
//
// Threads: a state belongs to one caller at a time. Filtering (nspsFir,
// nspsbFir) allocates nothing and may run on the audio thread; the
// initialisation calls allocate and belong to the thread that configures the
// filter, never overlapping a filtering call on the same state.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quellmarin {

namespace fir_detail {
struct TAlignedFree {
  void operator()(float* p) const noexcept;
};
using TAlignedFloats = std::unique_ptr<float[], TAlignedFree>;
// States initialised afterwards use the wide (AVX2/FMA) dot product when the
// processor has it and Allowed is true (the default), else the baseline one.
// Lets tests cover both on one machine.
void SetWideKernelAllowed(bool Allowed);

// How nspsbFir filters single-rate states that have an FFT path: by cost
// (the default), always directly, or by FFT whenever the call is long enough
// for one segment. Lets tests and benchmarks compare the two paths.
enum TBlockPath { bpByCost = 0, bpDirect = 1, bpFft = 2 };
void SetBlockPath(TBlockPath Path);

// Shortest and longest filter that get an FFT path at initialisation. Longer
// filters (up to the storage limit of the initialisation) filter directly.
constexpr int32_t kFftMinTaps = 24;
constexpr int32_t kFftMaxTaps = 3728271;

struct TFftPath;
struct TFftPathFree {
  void operator()(TFftPath* p) const noexcept;
};
using TFftPathPtr = std::unique_ptr<TFftPath, TFftPathFree>;
}  // namespace fir_detail

// The running state of one FIR filter. Zero-initialised it is empty: filtering
// with it gives zeros. nspsFirInit / nspsFirInitMr make it ready; nspFirFree
// releases its storage (the destructor does too).
struct TFirState {
  TFirState() = default;
  TFirState(const TFirState&) = delete;
  TFirState& operator=(const TFirState&) = delete;

  int32_t TapsLen() const { return FTapsLen; }
  int32_t UpFactor() const { return FUpFactor; }
  int32_t UpPhase() const { return FUpPhase; }
  int32_t DownFactor() const { return FDownFactor; }
  int32_t DownPhase() const { return FDownPhase; }
  // Largest number of outputs nspsbFir can write for NumIters input samples.
  int64_t MaxOutputs(int32_t NumIters) const;

  // Internal layout, touched only by the calls below.
  using TDotKernel = float (*)(const float* Taps, const float* Window, int32_t Count);
  using TPairKernel = float (*)(const float* Taps, const float* Newer, const float* Older, int32_t Count);
  fir_detail::TAlignedFloats FTaps;   // FUpFactor phases of FDelayLen taps each (zero padded)
  fir_detail::TAlignedFloats FDelay;  // 2 * FDelayLen (+ slack): each input stored twice, newest first
  TDotKernel FKernel = nullptr;
  int32_t FTapsLen = 0;
  int32_t FDelayLen = 0;  // input samples one output needs, padded to the vector width
  int32_t FPos = 0;       // newest input sits at FDelay[FPos] (and FDelay[FPos + FDelayLen])
  // Single-rate taps symmetric about a centre (as linear-phase designs are) are
  // summed in mirrored pairs, which reads a quarter fewer floats per output.
  // FReverse holds the same inputs oldest first, so that both halves of a pair
  // run forward in memory.
  bool FSymmetric = false;
  TPairKernel FPairKernel = nullptr;
  fir_detail::TAlignedFloats FPairTaps;  // taps above the centre, FPairCount (zero padded)
  fir_detail::TAlignedFloats FReverse;   // 2 * FDelayLen (+ slack), oldest first
  int32_t FRevPos = 0;                   // oldest input sits at FReverse[FRevPos]
  int32_t FCentre = 0;
  int32_t FPairCount = 0;  // padded
  int32_t FLoneIndex = -1;  // a tap without a mirror (the first one of an even length), or -1
  float FCentreTap = 0.0f;
  float FLoneTap = 0.0f;
  int32_t FUpFactor = 1;
  int32_t FUpPhase = 0;
  int32_t FDownFactor = 1;
  int32_t FDownPhase = 0;
  int32_t FDownCount = 0;  // (u - DownPhase) mod DownFactor for the next up-sampled index u
  float FLastOutput = 0.0f;
  // Overlap-save plans for block filtering (single-rate states of at least
  // kFftMinTaps taps), or null.
  fir_detail::TFftPathPtr FFft;
};

// Makes State ready to filter with Taps[0 .. TapsLen - 1], one output per
// input. DlyVals, when not null, holds the TapsLen inputs that precede the
// first one, newest first (DlyVals[0] is the input just before); null starts
// from silence. Throws std::invalid_argument for TapsLen < 1 or null
// pointers, std::bad_alloc when memory runs out; a failed call leaves the
// state as it was.
void nspsFirInit(const float* Taps, int32_t TapsLen, const float* DlyVals, TFirState* State);

// As nspsFirInit, for interpolating and decimating filtering (see the top of
// this header): UpFactor, DownFactor >= 1; 0 <= UpPhase < UpFactor;
// 0 <= DownPhase < DownFactor. DlyVals, when not null, holds
// ceil(TapsLen / UpFactor) preceding inputs, newest first.
void nspsFirInitMr(const float* Taps, int32_t TapsLen, const float* DlyVals, int32_t UpFactor, int32_t UpPhase,
                   int32_t DownFactor, int32_t DownPhase, TFirState* State);

// Passes one input sample through the filter and returns the output. For a
// multi-rate state the sample may produce several outputs or none; the call
// returns the last output produced so far (held over samples that produce
// none).
float nspsFir(TFirState* State, float Samp);

// Filters NumIters input samples from InSamps into OutSamps and returns the
// number of outputs written: NumIters for a single-rate state; for a
// multi-rate state floor or ceil of NumIters * UpFactor / DownFactor,
// depending on the running phase (at most State->MaxOutputs(NumIters)).
// InSamps and OutSamps may be the same array for a single-rate state.
int32_t nspsbFir(TFirState* State, const float* InSamps, float* OutSamps, int32_t NumIters);

// Releases the state's storage; the state is empty afterwards.
void nspFirFree(TFirState* State);

}  // namespace quellmarin
