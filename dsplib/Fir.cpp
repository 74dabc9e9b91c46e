#include "dsplib/Fir.h"

#include "dsplib/Fft.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

namespace quellmarin {

namespace fir_detail {

constexpr std::align_val_t kAlign{64};
// Delay windows and tap phases are padded to a multiple of this many floats, so
// the dot products need no remainder loop. The padding taps are zero.
constexpr int64_t kPad = 16;
// Upper bound on the floats one state may hold (taps plus delay line).
constexpr int64_t kMaxFloats = int64_t{1} << 27;

void TAlignedFree::operator()(float* p) const noexcept { ::operator delete[](p, kAlign); }

static TAlignedFloats AllocateZeroed(int64_t Count) {
  auto* p = static_cast<float*>(::operator new[](static_cast<size_t>(Count) * sizeof(float), kAlign));
  std::memset(p, 0, static_cast<size_t>(Count) * sizeof(float));
  return TAlignedFloats(p);
}

// Dot products over Count floats, Count a multiple of kPad. Taps is 64-byte
// aligned, Window is not. Several independent partial sums keep the adders busy.
static float DotBaseline(const float* Taps, const float* Window, int32_t Count) {
  __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps(), a2 = _mm_setzero_ps(), a3 = _mm_setzero_ps();
  for (int32_t i = 0; i < Count; i += 16) {
    a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_load_ps(Taps + i), _mm_loadu_ps(Window + i)));
    a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_load_ps(Taps + i + 4), _mm_loadu_ps(Window + i + 4)));
    a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_load_ps(Taps + i + 8), _mm_loadu_ps(Window + i + 8)));
    a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_load_ps(Taps + i + 12), _mm_loadu_ps(Window + i + 12)));
  }
  __m128 s = _mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(a2, a3));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 0x55));
  return _mm_cvtss_f32(s);
}

__attribute__((target("avx2,fma"))) static float DotAvx2(const float* Taps, const float* Window, int32_t Count) {
  // Eight partial sums cover the FMA latency at two loads per cycle.
  __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
  __m256 a4 = _mm256_setzero_ps(), a5 = _mm256_setzero_ps(), a6 = _mm256_setzero_ps(), a7 = _mm256_setzero_ps();
  int32_t i = 0;
  for (; i + 64 <= Count; i += 64) {
    a0 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i), _mm256_loadu_ps(Window + i), a0);
    a1 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 8), _mm256_loadu_ps(Window + i + 8), a1);
    a2 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 16), _mm256_loadu_ps(Window + i + 16), a2);
    a3 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 24), _mm256_loadu_ps(Window + i + 24), a3);
    a4 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 32), _mm256_loadu_ps(Window + i + 32), a4);
    a5 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 40), _mm256_loadu_ps(Window + i + 40), a5);
    a6 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 48), _mm256_loadu_ps(Window + i + 48), a6);
    a7 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 56), _mm256_loadu_ps(Window + i + 56), a7);
  }
  for (; i < Count; i += 16) {  // Count is a multiple of 16
    a0 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i), _mm256_loadu_ps(Window + i), a0);
    a1 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 8), _mm256_loadu_ps(Window + i + 8), a1);
  }
  const __m256 s8 = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)),
                                  _mm256_add_ps(_mm256_add_ps(a4, a5), _mm256_add_ps(a6, a7)));
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(s8), _mm256_extractf128_ps(s8, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 0x55));
  return _mm_cvtss_f32(s);
}

// Sum over Count (a multiple of kPad) of Taps[i] * (Newer[i] + Older[i]).
static float PairBaseline(const float* Taps, const float* Newer, const float* Older, int32_t Count) {
  __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps(), a2 = _mm_setzero_ps(), a3 = _mm_setzero_ps();
  for (int32_t i = 0; i < Count; i += 16) {
    a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_load_ps(Taps + i), _mm_add_ps(_mm_loadu_ps(Newer + i), _mm_loadu_ps(Older + i))));
    a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_load_ps(Taps + i + 4),
                                   _mm_add_ps(_mm_loadu_ps(Newer + i + 4), _mm_loadu_ps(Older + i + 4))));
    a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_load_ps(Taps + i + 8),
                                   _mm_add_ps(_mm_loadu_ps(Newer + i + 8), _mm_loadu_ps(Older + i + 8))));
    a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_load_ps(Taps + i + 12),
                                   _mm_add_ps(_mm_loadu_ps(Newer + i + 12), _mm_loadu_ps(Older + i + 12))));
  }
  __m128 s = _mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(a2, a3));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 0x55));
  return _mm_cvtss_f32(s);
}

__attribute__((target("avx2,fma"))) static float PairAvx2(const float* Taps, const float* Newer, const float* Older,
                                                          int32_t Count) {
  __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
  int32_t i = 0;
  for (; i + 32 <= Count; i += 32) {
    a0 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i), _mm256_add_ps(_mm256_loadu_ps(Newer + i), _mm256_loadu_ps(Older + i)), a0);
    a1 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 8),
                         _mm256_add_ps(_mm256_loadu_ps(Newer + i + 8), _mm256_loadu_ps(Older + i + 8)), a1);
    a2 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 16),
                         _mm256_add_ps(_mm256_loadu_ps(Newer + i + 16), _mm256_loadu_ps(Older + i + 16)), a2);
    a3 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 24),
                         _mm256_add_ps(_mm256_loadu_ps(Newer + i + 24), _mm256_loadu_ps(Older + i + 24)), a3);
  }
  if (i < Count) {
    a0 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i), _mm256_add_ps(_mm256_loadu_ps(Newer + i), _mm256_loadu_ps(Older + i)), a0);
    a1 = _mm256_fmadd_ps(_mm256_load_ps(Taps + i + 8),
                         _mm256_add_ps(_mm256_loadu_ps(Newer + i + 8), _mm256_loadu_ps(Older + i + 8)), a1);
  }
  const __m256 s8 = _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3));
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(s8), _mm256_extractf128_ps(s8, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 0x55));
  return _mm_cvtss_f32(s);
}

static std::atomic<bool> WideKernelAllowed{true};

void SetWideKernelAllowed(bool Allowed) { WideKernelAllowed.store(Allowed); }


static std::atomic<int> BlockPathChoice{bpByCost};

void SetBlockPath(TBlockPath Path) { BlockPathChoice.store(Path); }

// One overlap-save plan: segments of up to Step outputs through real FFTs of
// Fft.Length() points. A segment transforms the TapsLen - 1 inputs before it
// and its own inputs (zero padded), multiplies by the taps' spectrum and keeps
// the outputs that no circular wrap-around reaches.
struct TFftPlan {
  TRealFft Fft;
  TAlignedFloats HRe, HIm;  // spectrum of the taps, over 4 N (see TRealFft's scaling)
  int32_t Step = 0;
  double SegmentNs = 0.0;   // estimated time of one segment
};

struct TFftPath {
  TFftPlan Plans[2];
  int32_t PlanCount = 0;
  TAlignedFloats URe, UIm;  // samples of a segment in split form, then its filtered samples
  TAlignedFloats XRe, XIm;  // its spectrum
  TAlignedFloats Line;      // the segment's samples in order
  double DirectNs = 0.0;    // estimated time of one direct output
};

void TFftPathFree::operator()(TFftPath* p) const noexcept { delete p; }

// Time estimates for choosing between the two paths, measured with bench_fir's
// FirPaths on an AVX2 machine (wide) and with the baseline kernels (base).
// Only their ratios matter.
struct TCostModel {
  double DirectPerTap, DirectFixed;      // per output: Fixed + PerTap * padded delay length
  double FftPerPointLog, FftPerPoint;    // per segment: PerPointLog * N log2 N + PerPoint * N
  double PerTap;                         // per segment: gathering the history
};
constexpr TCostModel kWideCost{0.105, 4.0, 0.60, 1.2, 0.6};
constexpr TCostModel kBaseCost{0.210, 4.0, 0.95, 1.5, 0.6};

static constexpr int64_t NextPowerOfTwo(int64_t v) {
  int64_t p = 1;
  while (p < v) p *= 2;
  return p;
}

// The shortest transform for a filter of TapsLen taps: the smallest length
// whose segments hold a useful number of outputs.
static constexpr int64_t FirstFftLength(int32_t TapsLen) {
  return std::max<int64_t>(TRealFft::MinLength, NextPowerOfTwo(int64_t{TapsLen} + std::max(TapsLen / 8, 16)));
}
static_assert(FirstFftLength(kFftMaxTaps) <= TRealFft::MaxLength &&
              FirstFftLength(kFftMaxTaps + 1) > TRealFft::MaxLength);

// Plans for a single-rate filter of TapsLen taps: the shortest transform and
// twice that, as far as the transform reaches. Null for a filter too long for
// the longest transform: it filters directly.
static TFftPathPtr MakeFftPath(const float* Taps, int32_t TapsLen, int32_t DelayLen, bool Symmetric, bool Wide) {
  const TCostModel& cm = Wide ? kWideCost : kBaseCost;
  const int64_t first = FirstFftLength(TapsLen);
  if (first > TRealFft::MaxLength) return nullptr;
  TFftPathPtr path(new TFftPath);
  for (int64_t N = first; N <= first * 2 && N <= TRealFft::MaxLength; N *= 2) {
    TFftPlan& plan = path->Plans[path->PlanCount];
    plan.Fft.Init(static_cast<int32_t>(N), Wide);
    const int32_t bins = plan.Fft.SpectrumFloats();
    plan.HRe = AllocateZeroed(bins);
    plan.HIm = AllocateZeroed(bins);
    TAlignedFloats hr = AllocateZeroed(N / 2), hi = AllocateZeroed(N / 2);
    for (int32_t k = 0; k < TapsLen; ++k) (k % 2 == 0 ? hr : hi)[k / 2] = Taps[k];
    plan.Fft.Forward(hr.get(), hi.get(), plan.HRe.get(), plan.HIm.get());
    const float scale = static_cast<float>(1.0 / (4.0 * static_cast<double>(N)));
    for (int32_t k = 0; k < bins; ++k) {
      plan.HRe[k] *= scale;
      plan.HIm[k] *= scale;
    }
    plan.Step = static_cast<int32_t>(N - TapsLen + 1);
    plan.SegmentNs = cm.FftPerPointLog * static_cast<double>(N) * std::log2(static_cast<double>(N)) +
                     cm.FftPerPoint * static_cast<double>(N) + cm.PerTap * TapsLen;
    ++path->PlanCount;
  }
  const int64_t largest = path->Plans[path->PlanCount - 1].Fft.Length();
  path->URe = AllocateZeroed(largest / 2);
  path->UIm = AllocateZeroed(largest / 2);
  path->XRe = AllocateZeroed(largest / 2 + 16);
  path->XIm = AllocateZeroed(largest / 2 + 16);
  path->Line = AllocateZeroed(largest);
  path->DirectNs = cm.DirectFixed + cm.DirectPerTap * DelayLen * (Symmetric ? 0.75 : 1.0);
  return path;
}

static bool UseWide() {
  static const bool hasWide = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return hasWide && WideKernelAllowed.load();
}

// Stores one input at the front of the delay window (and at the back of the
// reversed one).
static inline void Push(TFirState* s, float x) {
  s->FPos = (s->FPos == 0 ? s->FDelayLen : s->FPos) - 1;
  s->FDelay[s->FPos] = x;
  s->FDelay[s->FPos + s->FDelayLen] = x;
  if (s->FSymmetric) {
    // The window FReverse[FRevPos ..] moves up by one; the new input is its last element.
    const int32_t w = s->FRevPos;  // (FRevPos + FDelayLen - 1) mod FDelayLen after the move
    s->FRevPos = s->FRevPos + 1 == s->FDelayLen ? 0 : s->FRevPos + 1;
    s->FReverse[w] = x;
    s->FReverse[w + s->FDelayLen] = x;
  }
}

// The output of a single-rate state for the current window.
static inline float SingleRateOutput(const TFirState* s) {
  if (!s->FSymmetric) return s->FKernel(s->FTaps.get(), s->FDelay.get() + s->FPos, s->FDelayLen);
  // Pair k (1, 2, ...) joins the inputs k places newer and k places older than the centre one.
  const float* window = s->FDelay.get() + s->FPos;
  float y = s->FPairKernel(s->FPairTaps.get(), window + s->FCentre + 1,
                           s->FReverse.get() + s->FRevPos + s->FDelayLen - s->FCentre, s->FPairCount);
  y += s->FCentreTap * window[s->FCentre];
  if (s->FLoneIndex >= 0) y += s->FLoneTap * window[s->FLoneIndex];
  return y;
}


// Stores Count inputs as Count calls of Push would (only the last FDelayLen of
// them can still be in the window afterwards).
static void PushBlock(TFirState* s, const float* x, int32_t Count) {
  const int32_t d = s->FDelayLen;
  const int32_t first = Count > d ? Count - d : 0;
  // Input j lands at (FPos - 1 - j) mod d, in both copies of the window: runs
  // that fall downwards until the position wraps.
  int32_t pos = static_cast<int32_t>(((static_cast<int64_t>(s->FPos) - first) % d + d) % d);
  float* delay = s->FDelay.get();
  for (int32_t j = first; j < Count;) {
    if (pos == 0) pos = d;
    const int32_t run = std::min(Count - j, pos);
    float* a = delay + pos - 1;
    float* b = a + d;
    for (int32_t i = 0; i < run; ++i) a[-i] = b[-i] = x[j + i];
    pos -= run;
    j += run;
  }
  s->FPos = pos;
  if (s->FSymmetric) {
    // Input j lands at (FRevPos + j) mod d: rising runs.
    int32_t rp = static_cast<int32_t>((static_cast<int64_t>(s->FRevPos) + first) % d);
    float* reverse = s->FReverse.get();
    for (int32_t j = first; j < Count;) {
      const int32_t run = std::min(Count - j, d - rp);
      std::memcpy(reverse + rp, x + j, sizeof(float) * static_cast<size_t>(run));
      std::memcpy(reverse + rp + d, x + j, sizeof(float) * static_cast<size_t>(run));
      rp = rp + run == d ? 0 : rp + run;
      j += run;
    }
    s->FRevPos = rp;
  }
}

// One overlap-save segment of Count (<= Plan.Step) inputs. In and Out may be
// the same array: the inputs are read before any output is written.
static void FftSegment(TFirState* s, TFftPlan& Plan, const float* In, float* Out, int32_t Count) {
  TFftPath& path = *s->FFft;
  const int32_t m = s->FTapsLen;
  const int32_t n = Plan.Fft.Length();
  // The segment's samples: the m - 1 inputs before it (oldest first), its own
  // inputs, then zeros.
  float* u = path.Line.get();
  if (s->FSymmetric) {
    std::memcpy(u, s->FReverse.get() + s->FRevPos + s->FDelayLen - (m - 1), sizeof(float) * static_cast<size_t>(m - 1));
  } else {
    const float* history = s->FDelay.get() + s->FPos;  // newest first
    for (int32_t t = 0; t < m - 1; ++t) u[t] = history[m - 2 - t];
  }
  std::memcpy(u + m - 1, In, sizeof(float) * static_cast<size_t>(Count));
  std::memset(u + m - 1 + Count, 0, sizeof(float) * static_cast<size_t>(n - (m - 1 + Count)));
  PushBlock(s, In, Count);

  Plan.Fft.Split(u, path.URe.get(), path.UIm.get());
  Plan.Fft.Forward(path.URe.get(), path.UIm.get(), path.XRe.get(), path.XIm.get());
  Plan.Fft.Multiply(path.XRe.get(), path.XIm.get(), Plan.HRe.get(), Plan.HIm.get());
  Plan.Fft.Inverse(path.XRe.get(), path.XIm.get(), path.URe.get(), path.UIm.get());
  Plan.Fft.Join(path.URe.get(), path.UIm.get(), u);
  std::memcpy(Out, u + m - 1, sizeof(float) * static_cast<size_t>(Count));
}

// Filters Count inputs of a single-rate state, by FFT segments while they are
// estimated cheaper than direct outputs, directly for the rest.
static void FilterSingleRate(TFirState* s, const float* In, float* Out, int32_t Count) {
  const int choice = BlockPathChoice.load(std::memory_order_relaxed);
  int32_t done = 0;
  if (s->FFft && choice != bpDirect) {
    TFftPath& path = *s->FFft;
    while (done < Count) {
      const int32_t left = Count - done;
      TFftPlan* best = nullptr;
      double bestNs = choice == bpFft ? HUGE_VAL : path.DirectNs * left;
      for (int32_t i = 0; i < path.PlanCount; ++i) {
        TFftPlan& plan = path.Plans[i];
        const double ns = static_cast<double>((left + plan.Step - 1) / plan.Step) * plan.SegmentNs;
        if (ns < bestNs) {
          bestNs = ns;
          best = &plan;
        }
      }
      if (best == nullptr) break;
      const int32_t count = std::min(left, best->Step);
      FftSegment(s, *best, In + done, Out + done, count);
      done += count;
    }
  }
  for (int32_t i = done; i < Count; ++i) {
    Push(s, In[i]);
    Out[i] = SingleRateOutput(s);
  }
}

static inline float DotPhase(const TFirState* s, int32_t Phase) {
  return s->FKernel(s->FTaps.get() + static_cast<int64_t>(Phase) * s->FDelayLen, s->FDelay.get() + s->FPos,
                    s->FDelayLen);
}

// Runs one input through a multi-rate state; Emit receives every kept output.
template <typename F>
static inline void StepMultiRate(TFirState* s, float x, F&& Emit) {
  for (int32_t r = 0; r < s->FUpFactor; ++r) {
    if (r == s->FUpPhase) Push(s, x);
    if (s->FDownCount == 0) {
      // Before the input's own position the newest sample is still the previous input.
      const int32_t phase = r >= s->FUpPhase ? r - s->FUpPhase : r - s->FUpPhase + s->FUpFactor;
      s->FLastOutput = DotPhase(s, phase);
      Emit(s->FLastOutput);
    }
    if (++s->FDownCount == s->FDownFactor) s->FDownCount = 0;
  }
}

}  // namespace fir_detail

using namespace fir_detail;

int64_t TFirState::MaxOutputs(int32_t NumIters) const {
  if (NumIters <= 0) return 0;
  const int64_t up = static_cast<int64_t>(NumIters) * FUpFactor;
  return (up + FDownFactor - 1) / FDownFactor;
}

void nspsFirInitMr(const float* Taps, int32_t TapsLen, const float* DlyVals, int32_t UpFactor, int32_t UpPhase,
                   int32_t DownFactor, int32_t DownPhase, TFirState* State) {
  if (State == nullptr || Taps == nullptr || TapsLen < 1)
    throw std::invalid_argument("FIR initialisation needs a state and at least one tap");
  if (UpFactor < 1 || DownFactor < 1 || UpPhase < 0 || UpPhase >= UpFactor || DownPhase < 0 ||
      DownPhase >= DownFactor)
    throw std::invalid_argument("FIR initialisation: factors must be positive and phases below them");

  const int64_t needed = (static_cast<int64_t>(TapsLen) + UpFactor - 1) / UpFactor;
  const int64_t delayLen = (needed + kPad - 1) / kPad * kPad;
  if (delayLen * (static_cast<int64_t>(UpFactor) + 2) > kMaxFloats)
    throw std::length_error("FIR initialisation: filter too large");

  // Taps symmetric about their centre: the centre index of an odd length, or
  // of an even length whose first tap has no mirror.
  const int32_t centre = TapsLen / 2;
  const int32_t pairs = (TapsLen - 1) / 2;
  bool symmetric = UpFactor == 1 && DownFactor == 1 && pairs >= 2 * kPad;
  for (int32_t k = 1; symmetric && k <= pairs; ++k) symmetric = Taps[centre + k] == Taps[centre - k];
  const int64_t pairCount = (pairs + kPad - 1) / kPad * kPad;

  // Build the new storage first, so that a failure leaves the old state intact.
  // The slack behind the doubled windows keeps the padded pair reads inside.
  TAlignedFloats taps = AllocateZeroed(delayLen * UpFactor);
  TAlignedFloats delay = AllocateZeroed(delayLen * 2 + 2 * kPad);
  TAlignedFloats pairTaps, reverse;
  if (symmetric) {
    pairTaps = AllocateZeroed(pairCount);
    reverse = AllocateZeroed(delayLen * 2 + 2 * kPad);
    for (int32_t k = 0; k < pairs; ++k) pairTaps[k] = Taps[centre + 1 + k];
  }
  const bool wide = UseWide();
  TFftPathPtr fft;
  if (UpFactor == 1 && DownFactor == 1 && TapsLen >= kFftMinTaps)
    fft = MakeFftPath(Taps, TapsLen, static_cast<int32_t>(delayLen), symmetric, wide);
  for (int32_t k = 0; k < TapsLen; ++k) {
    const int32_t phase = k % UpFactor;
    const int32_t m = k / UpFactor;
    taps[phase * delayLen + m] = Taps[k];
  }
  if (DlyVals != nullptr) {
    for (int64_t m = 0; m < needed; ++m) {
      delay[m] = delay[m + delayLen] = DlyVals[m];
      if (symmetric) reverse[delayLen - 1 - m] = reverse[2 * delayLen - 1 - m] = DlyVals[m];
    }
  }

  State->FTaps = std::move(taps);
  State->FDelay = std::move(delay);
  State->FKernel = wide ? &DotAvx2 : &DotBaseline;
  State->FSymmetric = symmetric;
  State->FPairKernel = wide ? &PairAvx2 : &PairBaseline;
  State->FFft = std::move(fft);
  State->FPairTaps = std::move(pairTaps);
  State->FReverse = std::move(reverse);
  State->FRevPos = 0;
  State->FCentre = centre;
  State->FPairCount = static_cast<int32_t>(pairCount);
  State->FLoneIndex = symmetric && TapsLen % 2 == 0 ? 0 : -1;
  State->FCentreTap = Taps[centre];
  State->FLoneTap = Taps[0];
  State->FTapsLen = TapsLen;
  State->FDelayLen = static_cast<int32_t>(delayLen);
  State->FPos = 0;
  State->FUpFactor = UpFactor;
  State->FUpPhase = UpPhase;
  State->FDownFactor = DownFactor;
  State->FDownPhase = DownPhase;
  State->FDownCount = (DownFactor - DownPhase) % DownFactor;
  State->FLastOutput = 0.0f;
}

void nspsFirInit(const float* Taps, int32_t TapsLen, const float* DlyVals, TFirState* State) {
  nspsFirInitMr(Taps, TapsLen, DlyVals, 1, 0, 1, 0, State);
}

float nspsFir(TFirState* State, float Samp) {
  if (State == nullptr || !State->FTaps) return 0.0f;
  if (State->FUpFactor == 1 && State->FDownFactor == 1) {
    Push(State, Samp);
    return State->FLastOutput = SingleRateOutput(State);
  }
  StepMultiRate(State, Samp, [](float) {});
  return State->FLastOutput;
}

int32_t nspsbFir(TFirState* State, const float* InSamps, float* OutSamps, int32_t NumIters) {
  if (State == nullptr || InSamps == nullptr || OutSamps == nullptr || NumIters <= 0) return 0;
  if (!State->FTaps) {
    std::fill(OutSamps, OutSamps + NumIters, 0.0f);
    return NumIters;
  }
  if (State->FUpFactor == 1 && State->FDownFactor == 1) {
    FilterSingleRate(State, InSamps, OutSamps, NumIters);
    State->FLastOutput = OutSamps[NumIters - 1];
    return NumIters;
  }
  int32_t written = 0;
  for (int32_t i = 0; i < NumIters; ++i) StepMultiRate(State, InSamps[i], [&](float y) { OutSamps[written++] = y; });
  return written;
}

void nspFirFree(TFirState* State) {
  if (State == nullptr) return;
  State->FTaps.reset();
  State->FDelay.reset();
  State->FPairTaps.reset();
  State->FReverse.reset();
  State->FFft.reset();
  State->FSymmetric = false;
  State->FRevPos = State->FCentre = State->FPairCount = 0;
  State->FLoneIndex = -1;
  State->FKernel = nullptr;
  State->FTapsLen = State->FDelayLen = State->FPos = 0;
  State->FUpFactor = State->FDownFactor = 1;
  State->FUpPhase = State->FDownPhase = State->FDownCount = 0;
  State->FLastOutput = 0.0f;
}

}  // namespace quellmarin
