// Per-sample FIR filtering as the block pipeline runs it (one call per sample,
// a stream of 2000-sample blocks), ours against liquid-dsp's firfilt_rrrf
// (push + execute), at the filter lengths the program designs: 146 taps (the
// first design), 600 and 5000 (the longest). Also the time of one 5000-tap
// design, which runs inside a 100 ms display refresh.
//
// Counters: ns_per_sample for each filter; in FirSpeedup, ours_ns, liquid_ns and
// speedup = liquid / ours, both measured in the same iterations as thread CPU time.

#include <benchmark/benchmark.h>

#include <time.h>

#include <random>
#include <vector>

#include <liquid/liquid.h>

#include "analysis/Dsp.h"
#include "analysis/SignalAnalysis.h"
#include "dsplib/NDSP.h"
#include "measurement/MeasuringPoint.h"

namespace {

using namespace quellmarin;

constexpr int kBlock = 2000;

std::vector<float> DesignTaps(int n) {
  std::vector<float> taps(static_cast<size_t>(n));
  KaiserFirDesign(n, taps.data(), 1250.0f, 1750.0f, 0.0f, 0.0f, 10000.0f, 0.001f, ftLowPass);
  return taps;
}

std::vector<float> Input() {
  std::vector<float> x(kBlock);
  std::mt19937 gen(1);
  std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
  for (float& v : x) v = dist(gen);
  return x;
}

struct Ours {
  explicit Ours(std::vector<float>& taps) { nspsFirInit(taps.data(), static_cast<int32_t>(taps.size()), nullptr, &State); }
  ~Ours() { nspFirFree(&State); }
  float Block(const std::vector<float>& x, std::vector<float>& y) {
    for (int i = 0; i < kBlock; ++i) y[i] = nspsFir(&State, x[i]);
    return y[kBlock - 1];
  }
  TFirState State;
};

struct Liquid {
  explicit Liquid(std::vector<float>& taps) : Q(firfilt_rrrf_create(taps.data(), static_cast<unsigned>(taps.size()))) {}
  ~Liquid() { firfilt_rrrf_destroy(Q); }
  float Block(const std::vector<float>& x, std::vector<float>& y) {
    for (int i = 0; i < kBlock; ++i) {
      firfilt_rrrf_push(Q, x[i]);
      firfilt_rrrf_execute(Q, &y[i]);
    }
    return y[kBlock - 1];
  }
  firfilt_rrrf Q;
};

template <typename Filter>
void BM_PerSample(benchmark::State& state) {
  auto taps = DesignTaps(static_cast<int>(state.range(0)));
  const auto x = Input();
  std::vector<float> y(kBlock);
  Filter f(taps);
  for (auto _ : state) benchmark::DoNotOptimize(f.Block(x, y));
  state.counters["ns_per_sample"] =
      benchmark::Counter(kBlock, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_OurBlock(benchmark::State& state) {
  auto taps = DesignTaps(static_cast<int>(state.range(0)));
  const auto x = Input();
  std::vector<float> y(kBlock);
  TFirState st;
  nspsFirInit(taps.data(), static_cast<int32_t>(taps.size()), nullptr, &st);
  for (auto _ : state) {
    nspsbFir(&st, x.data(), y.data(), kBlock);
    benchmark::DoNotOptimize(y.data());
  }
  state.counters["ns_per_sample"] =
      benchmark::Counter(kBlock, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  nspFirFree(&st);
}

// CPU time of this thread, so that other processes on a shared machine do not
// skew the ratio.
double ThreadNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Both filters in the same iterations, so the ratio is taken under the same load.
void BM_FirSpeedup(benchmark::State& state) {
  auto taps = DesignTaps(static_cast<int>(state.range(0)));
  const auto x = Input();
  std::vector<float> y(kBlock);
  Ours ours(taps);
  Liquid liquid(taps);
  double oursNs = 0, liquidNs = 0;
  for (auto _ : state) {
    const double t0 = ThreadNs();
    benchmark::DoNotOptimize(ours.Block(x, y));
    const double t1 = ThreadNs();
    benchmark::DoNotOptimize(liquid.Block(x, y));
    const double t2 = ThreadNs();
    oursNs += t1 - t0;
    liquidNs += t2 - t1;
    state.SetIterationTime((t2 - t0) * 1e-9);
  }
  const double samples = static_cast<double>(state.iterations()) * kBlock;
  state.counters["ours_ns"] = oursNs / samples;
  state.counters["liquid_ns"] = liquidNs / samples;
  state.counters["speedup"] = liquidNs / oursNs;
}

// Block filtering of 2000 samples by one path only (Arg 1: 0 direct, 1 FFT),
// across tap counts: where the two cross is where nspsbFir's cost model
// should switch. Arg 2: 1 for the wide kernels, 0 for the baseline ones.
void BM_FirPaths(benchmark::State& state) {
  fir_detail::SetWideKernelAllowed(state.range(2) != 0);
  auto taps = DesignTaps(static_cast<int>(state.range(0)));
  const auto x = Input();
  std::vector<float> y(kBlock);
  TFirState st;
  nspsFirInit(taps.data(), static_cast<int32_t>(taps.size()), nullptr, &st);
  fir_detail::SetBlockPath(state.range(1) == 0 ? fir_detail::bpDirect : fir_detail::bpFft);
  for (auto _ : state) {
    nspsbFir(&st, x.data(), y.data(), kBlock);
    benchmark::DoNotOptimize(y.data());
  }
  fir_detail::SetBlockPath(fir_detail::bpByCost);
  fir_detail::SetWideKernelAllowed(true);
  state.counters["ns_per_sample"] =
      benchmark::Counter(kBlock, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  nspFirFree(&st);
}

// One redesign of the longest filter: length estimate, 5000 taps with two Bessel
// series each, and a fresh filter state.
void BM_Design5000(benchmark::State& state) {
  TComponent owner(nullptr);
  auto* point = new TSpectrumPoint(&owner);
  point->SetLength(2048);
  point->SetSampleTime(0.1024f);
  auto* fir = new TFIRAnalysis(&owner);
  fir->SetMPoint(point);
  fir->SetAutoDesign(false);
  fir->SetCenterFrequency(1000);
  fir->SetBandwidth(500);
  fir->SetTransitionBW1(10);
  fir->SetAutoDesign(true);
  for (auto _ : state) {
    fir->Rebuild();
    benchmark::DoNotOptimize(fir->Taps().Data[0]);
  }
  if (fir->FilterLength() != 5000) state.SkipWithError("design is not 5000 taps long");
}

BENCHMARK(BM_PerSample<Ours>)->Name("FirPerSample/ours")->Arg(146)->Arg(600)->Arg(5000);
BENCHMARK(BM_PerSample<Liquid>)->Name("FirPerSample/liquid")->Arg(146)->Arg(600)->Arg(5000);
BENCHMARK(BM_OurBlock)->Name("FirBlock/ours")->Arg(146)->Arg(600)->Arg(5000);
BENCHMARK(BM_FirPaths)
    ->Name("FirPaths")
    ->ArgsProduct({{24, 32, 48, 64, 96, 146, 200, 300, 600, 1000, 2000, 3000, 5000}, {0, 1}, {1, 0}});
BENCHMARK(BM_FirSpeedup)->Name("FirSpeedup")->Arg(146)->Arg(600)->Arg(5000)->UseManualTime();
BENCHMARK(BM_Design5000)->Name("FirDesign/5000")->Unit(benchmark::kMillisecond);

}  // namespace
