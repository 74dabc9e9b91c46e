#include "dsplib/Fft.h"

#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

// Vectors of eight floats as GCC vector extensions: the same bodies compile to
// AVX in the functions marked for AVX2/FMA and to pairs of SSE operations in
// the baseline ones. No vector crosses a function boundary that is not inlined.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quellmarin {

namespace fft_detail {

constexpr std::align_val_t kAlign{64};

void TAlignedFree::operator()(float* p) const noexcept { ::operator delete[](p, kAlign); }

TAlignedFloats AllocateFloats(int64_t Count) {
  auto* p = static_cast<float*>(::operator new[](static_cast<size_t>(Count) * sizeof(float), kAlign));
  std::memset(p, 0, static_cast<size_t>(Count) * sizeof(float));
  return TAlignedFloats(p);
}

namespace {

typedef float V8 __attribute__((vector_size(32)));
#define QM_INLINE inline __attribute__((always_inline))

QM_INLINE V8 Ld(const float* p) {
  V8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
QM_INLINE void St(float* p, V8 v) { std::memcpy(p, &v, sizeof v); }
QM_INLINE V8 Splat(float x) { return V8{x, x, x, x, x, x, x, x}; }
QM_INLINE V8 Rev(V8 v) { return __builtin_shufflevector(v, v, 7, 6, 5, 4, 3, 2, 1, 0); }

struct TStageView {
  int32_t Stride, Radix, Twiddles;
  const float* Tw;
};

// One radix-4 butterfly on eight lanes: inputs at At, At + Q, At + 2Q, At + 3Q;
// outputs 1 to 3 turned by their twiddles.
QM_INLINE void Butterfly4(const float* xr, const float* xi, int64_t At, int64_t Q, const V8* w, V8* yr, V8* yi) {
  const V8 ar = Ld(xr + At), ai = Ld(xi + At);
  const V8 br = Ld(xr + At + Q), bi = Ld(xi + At + Q);
  const V8 cr = Ld(xr + At + 2 * Q), ci = Ld(xi + At + 2 * Q);
  const V8 dr = Ld(xr + At + 3 * Q), di = Ld(xi + At + 3 * Q);
  const V8 apcr = ar + cr, apci = ai + ci, amcr = ar - cr, amci = ai - ci;
  const V8 bpdr = br + dr, bpdi = bi + di, bmdr = br - dr, bmdi = bi - di;
  yr[0] = apcr + bpdr;
  yi[0] = apci + bpdi;
  const V8 t1r = amcr + bmdi, t1i = amci - bmdr;
  const V8 t2r = apcr - bpdr, t2i = apci - bpdi;
  const V8 t3r = amcr - bmdi, t3i = amci + bmdr;
  yr[1] = t1r * w[0] - t1i * w[1];
  yi[1] = t1r * w[1] + t1i * w[0];
  yr[2] = t2r * w[2] - t2i * w[3];
  yi[2] = t2r * w[3] + t2i * w[2];
  yr[3] = t3r * w[4] - t3i * w[5];
  yi[3] = t3r * w[5] + t3i * w[4];
}

// Stockham radix-4 stage over n complex values with stride s:
// y[q + s(4p + r)] = w_r(p) * (sum over k of (-i)^{rk} x[q + s(p + k n / 4)]).
// The first two stages (s = 1 and s = 4) run eight lanes across p and
// interleave their outputs in registers; the later ones run across q.
QM_INLINE void Stage4(const float* xr, const float* xi, float* yr, float* yi, int32_t n, const TStageView& st) {
  const int64_t Q = n / 4;
  const int64_t s = st.Stride;
  const float* tw = st.Tw;
  const int64_t L = st.Twiddles;
  V8 w[6], orr[4], oi[4];
  if (s == 1) {
    for (int64_t p = 0; p < Q; p += 8) {
      for (int r = 0; r < 6; ++r) w[r] = Ld(tw + r * L + p);
      Butterfly4(xr, xi, p, Q, w, orr, oi);
      for (int part = 0; part < 2; ++part) {
        V8* o = part == 0 ? orr : oi;
        float* y = (part == 0 ? yr : yi) + 4 * p;
        const V8 t0 = __builtin_shufflevector(o[0], o[2], 0, 8, 1, 9, 2, 10, 3, 11);
        const V8 t1 = __builtin_shufflevector(o[0], o[2], 4, 12, 5, 13, 6, 14, 7, 15);
        const V8 t2 = __builtin_shufflevector(o[1], o[3], 0, 8, 1, 9, 2, 10, 3, 11);
        const V8 t3 = __builtin_shufflevector(o[1], o[3], 4, 12, 5, 13, 6, 14, 7, 15);
        St(y, __builtin_shufflevector(t0, t2, 0, 8, 1, 9, 2, 10, 3, 11));
        St(y + 8, __builtin_shufflevector(t0, t2, 4, 12, 5, 13, 6, 14, 7, 15));
        St(y + 16, __builtin_shufflevector(t1, t3, 0, 8, 1, 9, 2, 10, 3, 11));
        St(y + 24, __builtin_shufflevector(t1, t3, 4, 12, 5, 13, 6, 14, 7, 15));
      }
    }
  } else if (s == 4) {
    for (int64_t i = 0; i < Q; i += 8) {  // i = 4p + q: lanes 0-3 are p, lanes 4-7 are p + 1
      for (int r = 0; r < 6; ++r) w[r] = Ld(tw + r * L + i);
      Butterfly4(xr, xi, i, Q, w, orr, oi);
      for (int part = 0; part < 2; ++part) {
        V8* o = part == 0 ? orr : oi;
        float* y = (part == 0 ? yr : yi) + 4 * i;
        St(y, __builtin_shufflevector(o[0], o[1], 0, 1, 2, 3, 8, 9, 10, 11));
        St(y + 8, __builtin_shufflevector(o[2], o[3], 0, 1, 2, 3, 8, 9, 10, 11));
        St(y + 16, __builtin_shufflevector(o[0], o[1], 4, 5, 6, 7, 12, 13, 14, 15));
        St(y + 24, __builtin_shufflevector(o[2], o[3], 4, 5, 6, 7, 12, 13, 14, 15));
      }
    }
  } else {
    for (int64_t p = 0; p < L; ++p) {
      for (int r = 0; r < 6; ++r) w[r] = Splat(tw[r * L + p]);
      for (int64_t q = 0; q < s; q += 8) {
        Butterfly4(xr, xi, q + s * p, Q, w, orr, oi);
        for (int r = 0; r < 4; ++r) {
          St(yr + q + s * (4 * p + r), orr[r]);
          St(yi + q + s * (4 * p + r), oi[r]);
        }
      }
    }
  }
}

// The last stage of an odd power of two: y[q] = x[q] + x[q + s], y[q + s] = x[q] - x[q + s].
QM_INLINE void Stage2(const float* xr, const float* xi, float* yr, float* yi, int32_t n) {
  const int64_t s = n / 2;
  for (int64_t q = 0; q < s; q += 8) {
    const V8 ar = Ld(xr + q), ai = Ld(xi + q), br = Ld(xr + q + s), bi = Ld(xi + q + s);
    St(yr + q, ar + br);
    St(yi + q, ai + bi);
    St(yr + q + s, ar - br);
    St(yi + q + s, ai - bi);
  }
}

// The same two stages one value at a time, for transforms too short for the
// eight-lane loops (n < ShortLimit). The twiddle of group p sits at p * s in
// the per-lane tables of the first two stages and at p in the later ones.
QM_INLINE void Stage4Short(const float* xr, const float* xi, float* yr, float* yi, int32_t n, const TStageView& st) {
  const int64_t Q = n / 4;
  const int64_t s = st.Stride;
  const int64_t L = st.Twiddles;
  for (int64_t p = 0; p < Q / s; ++p) {
    const float* tw = st.Tw + (s <= 4 ? p * s : p);
    const float w1r = tw[0], w1i = tw[L], w2r = tw[2 * L], w2i = tw[3 * L], w3r = tw[4 * L], w3i = tw[5 * L];
    for (int64_t q = 0; q < s; ++q) {
      const int64_t At = q + s * p;
      const float ar = xr[At], ai = xi[At], br = xr[At + Q], bi = xi[At + Q];
      const float cr = xr[At + 2 * Q], ci = xi[At + 2 * Q], dr = xr[At + 3 * Q], di = xi[At + 3 * Q];
      const float apcr = ar + cr, apci = ai + ci, amcr = ar - cr, amci = ai - ci;
      const float bpdr = br + dr, bpdi = bi + di, bmdr = br - dr, bmdi = bi - di;
      const float t1r = amcr + bmdi, t1i = amci - bmdr;
      const float t2r = apcr - bpdr, t2i = apci - bpdi;
      const float t3r = amcr - bmdi, t3i = amci + bmdr;
      const int64_t To = q + s * 4 * p;
      yr[To] = apcr + bpdr;
      yi[To] = apci + bpdi;
      yr[To + s] = t1r * w1r - t1i * w1i;
      yi[To + s] = t1r * w1i + t1i * w1r;
      yr[To + 2 * s] = t2r * w2r - t2i * w2i;
      yi[To + 2 * s] = t2r * w2i + t2i * w2r;
      yr[To + 3 * s] = t3r * w3r - t3i * w3i;
      yi[To + 3 * s] = t3r * w3i + t3i * w3r;
    }
  }
}

QM_INLINE void Stage2Short(const float* xr, const float* xi, float* yr, float* yi, int32_t n) {
  const int64_t s = n / 2;
  for (int64_t q = 0; q < s; ++q) {
    const float ar = xr[q], ai = xi[q], br = xr[q + s], bi = xi[q + s];
    yr[q] = ar + br;
    yi[q] = ai + bi;
    yr[q + s] = ar - br;
    yi[q + s] = ai - bi;
  }
}

// Complex lengths below this run the one-value-at-a-time stages.
constexpr int32_t ShortLimit = 64;

// Runs every stage from (InRe, InIm) to (OutRe, OutIm), through the two scratch
// pairs in turn. A transform of one value (no stage) copies it.
QM_INLINE void StagesBody(const TStageView* stages, int32_t count, int32_t n, float* scratch, const float* InRe,
                          const float* InIm, float* OutRe, float* OutIm) {
  const float* xr = InRe;
  const float* xi = InIm;
  if (count == 0) {
    for (int32_t k = 0; k < n; ++k) {
      OutRe[k] = InRe[k];
      OutIm[k] = InIm[k];
    }
    return;
  }
  for (int32_t t = 0; t < count; ++t) {
    float* yr = t == count - 1 ? OutRe : scratch + int64_t{2} * n * (t & 1);
    float* yi = t == count - 1 ? OutIm : scratch + int64_t{2} * n * (t & 1) + n;
    if (n < ShortLimit) {
      if (stages[t].Radix == 4)
        Stage4Short(xr, xi, yr, yi, n, stages[t]);
      else
        Stage2Short(xr, xi, yr, yi, n);
    } else if (stages[t].Radix == 4) {
      Stage4(xr, xi, yr, yi, n, stages[t]);
    } else {
      Stage2(xr, xi, yr, yi, n);
    }
    xr = yr;
    xi = yi;
  }
}

// From the n-point complex transform Z of the split samples to bins 0 .. n of
// the real transform (times 2): with A = Z[k], B = conj Z[n - k],
// E = A + B, O = -i (A - B), t = e^{-2 pi i k / N} O:
// X[k] = E + t, X[n - k] = conj(E - t).
QM_INLINE void PostBody(const float* zr, const float* zi, float* xr, float* xi, int32_t n, const float* c,
                        const float* sn) {
  auto one = [&](int64_t k) {
    const int64_t j = k == 0 ? 0 : n - k;
    const float ar = zr[k], ai = zi[k], br = zr[j], bi = -zi[j];
    const float er = ar + br, ei = ai + bi, orr = ai - bi, oi = br - ar;
    const float tr = c[k] * orr + sn[k] * oi, ti = c[k] * oi - sn[k] * orr;
    xr[k] = er + tr;
    xi[k] = ei + ti;
    xr[n - k] = er - tr;
    xi[n - k] = ti - ei;
  };
  one(0);
  const int64_t half = n / 2;
  int64_t k = 1;
  for (; k + 8 <= half; k += 8) {
    const V8 ar = Ld(zr + k), ai = Ld(zi + k);
    const V8 br = Rev(Ld(zr + n - k - 7)), bi = -Rev(Ld(zi + n - k - 7));
    const V8 ck = Ld(c + k), sk = Ld(sn + k);
    const V8 er = ar + br, ei = ai + bi, orr = ai - bi, oi = br - ar;
    const V8 tr = ck * orr + sk * oi, ti = ck * oi - sk * orr;
    St(xr + k, er + tr);
    St(xi + k, ei + ti);
    St(xr + n - k - 7, Rev(er - tr));
    St(xi + n - k - 7, Rev(ti - ei));
  }
  for (; k <= half; ++k) one(k);
}

// The inverse of PostBody (times 2): with P = X[k], Q = conj X[n - k],
// E = P + Q, O = e^{+2 pi i k / N} (P - Q): Z[k] = E + i O, Z[n - k] = conj E + i conj O.
QM_INLINE void PreBody(const float* yr, const float* yi, float* zr, float* zi, int32_t n, const float* c,
                       const float* sn) {
  auto one = [&](int64_t k) {
    const int64_t j = n - k;
    const float pr = yr[k], pi = yi[k], qr = yr[j], qi = -yi[j];
    const float er = pr + qr, ei = pi + qi, dr = pr - qr, di = pi - qi;
    const float orr = dr * c[k] - di * sn[k], oi = dr * sn[k] + di * c[k];
    zr[k] = er - oi;
    zi[k] = ei + orr;
    if (k != 0) {
      zr[j] = er + oi;
      zi[j] = orr - ei;
    }
  };
  one(0);
  const int64_t half = n / 2;
  int64_t k = 1;
  for (; k + 8 <= half; k += 8) {
    const V8 pr = Ld(yr + k), pi = Ld(yi + k);
    const V8 qr = Rev(Ld(yr + n - k - 7)), qi = -Rev(Ld(yi + n - k - 7));
    const V8 ck = Ld(c + k), sk = Ld(sn + k);
    const V8 er = pr + qr, ei = pi + qi, dr = pr - qr, di = pi - qi;
    const V8 orr = dr * ck - di * sk, oi = dr * sk + di * ck;
    St(zr + k, er - oi);
    St(zi + k, ei + orr);
    St(zr + n - k - 7, Rev(er + oi));
    St(zi + n - k - 7, Rev(orr - ei));
  }
  for (; k <= half; ++k) one(k);
}

QM_INLINE void MultiplyBody(float* xr, float* xi, const float* hr, const float* hi, int32_t count) {
  for (int64_t k = 0; k < count; k += 8) {
    const V8 ar = Ld(xr + k), ai = Ld(xi + k), br = Ld(hr + k), bi = Ld(hi + k);
    St(xr + k, ar * br - ai * bi);
    St(xi + k, ar * bi + ai * br);
  }
}

// U[0 .. 2n - 1] to split form and back.
QM_INLINE void SplitBody(const float* u, float* re, float* im, int32_t n) {
  if (n < 8) {
    for (int64_t k = 0; k < n; ++k) {
      re[k] = u[2 * k];
      im[k] = u[2 * k + 1];
    }
    return;
  }
  for (int64_t k = 0; k < n; k += 8) {
    const V8 a = Ld(u + 2 * k), b = Ld(u + 2 * k + 8);
    St(re + k, __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14));
    St(im + k, __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15));
  }
}
QM_INLINE void JoinBody(const float* re, const float* im, float* u, int32_t n) {
  if (n < 8) {
    for (int64_t k = 0; k < n; ++k) {
      u[2 * k] = re[k];
      u[2 * k + 1] = im[k];
    }
    return;
  }
  for (int64_t k = 0; k < n; k += 8) {
    const V8 a = Ld(re + k), b = Ld(im + k);
    St(u + 2 * k, __builtin_shufflevector(a, b, 0, 8, 1, 9, 2, 10, 3, 11));
    St(u + 2 * k + 8, __builtin_shufflevector(a, b, 4, 12, 5, 13, 6, 14, 7, 15));
  }
}

// The plan's work, as one call per direction and instruction set.
struct TPlanView {
  const TStageView* Stages;
  int32_t Count;
  int32_t N;  // complex length n
  float* Scratch;
  const float* Cos;
  const float* Sin;
};

#define QM_DEFINE_KERNELS(Suffix, Attr)                                                                         \
  Attr void Forward##Suffix(const TPlanView& v, const float* ir, const float* ii, float* orr, float* oi) {     \
    float* z = v.Scratch + int64_t{4} * v.N; /* the third scratch pair */                                     \
    StagesBody(v.Stages, v.Count, v.N, v.Scratch, ir, ii, z, z + v.N);                                        \
    PostBody(z, z + v.N, orr, oi, v.N, v.Cos, v.Sin);                                                         \
  }                                                                                                           \
  Attr void Inverse##Suffix(const TPlanView& v, const float* ir, const float* ii, float* orr, float* oi) {     \
    float* z = v.Scratch + int64_t{4} * v.N;                                                                  \
    PreBody(ir, ii, z, z + v.N, v.N, v.Cos, v.Sin);                                                           \
    /* The inverse transform is the forward one with real and imaginary parts swapped. */                     \
    StagesBody(v.Stages, v.Count, v.N, v.Scratch, z + v.N, z, oi, orr);                                       \
  }                                                                                                           \
  Attr void Complex##Suffix(const TPlanView& v, const float* ir, const float* ii, float* orr, float* oi) {     \
    StagesBody(v.Stages, v.Count, v.N, v.Scratch, ir, ii, orr, oi);                                           \
  }                                                                                                           \
  Attr void Split##Suffix(const float* u, float* re, float* im, int32_t n) { SplitBody(u, re, im, n); }          \
  Attr void Join##Suffix(const float* re, const float* im, float* u, int32_t n) { JoinBody(re, im, u, n); }      \
  Attr void Multiply##Suffix(float* xr, float* xi, const float* hr, const float* hi, int32_t count) {         \
    MultiplyBody(xr, xi, hr, hi, count);                                                                      \
  }

QM_DEFINE_KERNELS(Base, )
QM_DEFINE_KERNELS(Avx2, __attribute__((target("avx2,fma"))))

}  // namespace

}  // namespace fft_detail

using namespace fft_detail;

void TRealFft::Init(int32_t N, bool Wide) {
  if (N < MinLength || N > MaxLength || (N & (N - 1)) != 0)
    throw std::invalid_argument("FFT length must be a power of two within range");
  const int32_t n = N / 2;
  TStage stages[12];
  int32_t count = 0;
  int64_t twiddles = 0;
  for (int32_t sub = n, s = 1; sub >= 2; s *= 4, sub /= 4) {
    TStage& st = stages[count++];
    st.Stride = s;
    st.Radix = sub >= 4 ? 4 : 2;
    // The first two stages read their twiddles per lane, the later ones one per group.
    st.Twiddles = st.Radix == 2 ? 0 : (s <= 4 ? n / 4 : sub / 4);
    st.Offset = twiddles;
    twiddles += int64_t{6} * st.Twiddles;
    if (sub < 4) break;
  }
  TAlignedFloats tw = AllocateFloats(twiddles + 16);
  TAlignedFloats half = AllocateFloats(2 * (int64_t{n} / 2 + 16));
  TAlignedFloats scratch = AllocateFloats(int64_t{6} * n);
  for (int32_t t = 0; t < count; ++t) {
    const TStage& st = stages[t];
    if (st.Radix != 4) continue;
    const int64_t sub = n / st.Stride;
    float* w = tw.get() + st.Offset;
    for (int64_t i = 0; i < st.Twiddles; ++i) {
      const int64_t p = st.Stride <= 4 ? i / st.Stride : i;
      for (int r = 1; r <= 3; ++r) {
        const double a = -2.0 * M_PI * static_cast<double>(r * p) / static_cast<double>(sub);
        w[(2 * r - 2) * st.Twiddles + i] = static_cast<float>(std::cos(a));
        w[(2 * r - 1) * st.Twiddles + i] = static_cast<float>(std::sin(a));
      }
    }
  }
  const int64_t halfLen = int64_t{n} / 2 + 16;
  for (int64_t k = 0; k <= n / 2; ++k) {
    const double a = 2.0 * M_PI * static_cast<double>(k) / static_cast<double>(N);
    half[k] = static_cast<float>(std::cos(a));
    half[halfLen + k] = static_cast<float>(std::sin(a));
  }
  FTwiddles = std::move(tw);
  FHalf = std::move(half);
  FScratch = std::move(scratch);
  FStageCount = count;
  for (int32_t t = 0; t < count; ++t) FStages[t] = stages[t];
  FLength = N;
  FWide = Wide;
}

namespace {
struct TViewHolder {
  TStageView Stages[12];
  TPlanView View;
};
}  // namespace

#define QM_PLAN_VIEW(h)                                                                              \
  TViewHolder h;                                                                                     \
  for (int32_t t = 0; t < FStageCount; ++t)                                                          \
    h.Stages[t] = {FStages[t].Stride, FStages[t].Radix, FStages[t].Twiddles, FTwiddles.get() + FStages[t].Offset}; \
  h.View = {h.Stages, FStageCount, FLength / 2, FScratch.get(), FHalf.get(), FHalf.get() + FLength / 4 + 16}

void TRealFft::Forward(const float* InRe, const float* InIm, float* OutRe, float* OutIm) {
  QM_PLAN_VIEW(h);
  if (FWide)
    ForwardAvx2(h.View, InRe, InIm, OutRe, OutIm);
  else
    ForwardBase(h.View, InRe, InIm, OutRe, OutIm);
}

void TRealFft::Inverse(const float* InRe, const float* InIm, float* OutRe, float* OutIm) {
  QM_PLAN_VIEW(h);
  if (FWide)
    InverseAvx2(h.View, InRe, InIm, OutRe, OutIm);
  else
    InverseBase(h.View, InRe, InIm, OutRe, OutIm);
}

void TRealFft::Complex(const float* InRe, const float* InIm, float* OutRe, float* OutIm) {
  QM_PLAN_VIEW(h);
  if (FWide)
    ComplexAvx2(h.View, InRe, InIm, OutRe, OutIm);
  else
    ComplexBase(h.View, InRe, InIm, OutRe, OutIm);
}

bool TRealFft::WideAvailable() {
  static const bool Available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return Available;
}

void TRealFft::Multiply(float* Re, float* Im, const float* HRe, const float* HIm) const {
  const int32_t count = FLength / 2 + 8;  // bins 0 .. n, rounded up to whole vectors
  if (FWide)
    MultiplyAvx2(Re, Im, HRe, HIm, count);
  else
    MultiplyBase(Re, Im, HRe, HIm, count);
}

void TRealFft::Split(const float* U, float* Re, float* Im) const {
  if (FWide)
    SplitAvx2(U, Re, Im, FLength / 2);
  else
    SplitBase(U, Re, Im, FLength / 2);
}

void TRealFft::Join(const float* Re, const float* Im, float* U) const {
  if (FWide)
    JoinAvx2(Re, Im, U, FLength / 2);
  else
    JoinBase(Re, Im, U, FLength / 2);
}

}  // namespace quellmarin
