// One amplitude spectrum run on a 2048-sample record (copy, window, real FFT,
// unpacking, magnitude and phase, correction, extremes) and our real FFT alone,
// each against FFTW's single-precision real-to-complex transform of the same
// size, measured in the same run.

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cmath>
#include <random>
#include <vector>

#include "analysis/Dsp.h"
#include "analysis/SignalAnalysis.h"

namespace {

using namespace quellmarin;

constexpr int kLength = 2048;

std::vector<float> Record() {
  std::mt19937 gen(42);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  std::vector<float> v(kLength);
  for (int j = 0; j < kLength; ++j)
    v[static_cast<size_t>(j)] = static_cast<float>(std::sin(2.0 * 3.141592653589793 * 100.0 * j / kLength)) + noise(gen);
  return v;
}

void BM_AnalysisRun(benchmark::State& state) {
  TComponent owner(nullptr);
  auto* point = new TSpectrumPoint(&owner);
  point->SetLength(kLength);
  point->SetSampleTime(kLength / 20000.0f);
  const std::vector<float> record = Record();
  std::copy(record.begin(), record.end(), point->TimeSignal->Data);
  auto* analysis = new TFFTAnalysis(&owner);
  analysis->SetMPoint(point);
  analysis->SetWindow(wtHanning);
  analysis->SetDCDump(true);
  for (auto _ : state) {
    analysis->Execute();
    benchmark::DoNotOptimize(point->Spectrum->Amplitude[100]);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_AnalysisRun);

void BM_RealFFT(benchmark::State& state) {
  const std::vector<float> record = Record();
  std::vector<float> data(kLength + 5);
  for (auto _ : state) {
    std::copy(record.begin(), record.end(), data.begin() + 1);
    RealFFT(data.data(), kLength / 2, 1);
    benchmark::DoNotOptimize(data[201]);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RealFFT);

void BM_FFTW_r2c(benchmark::State& state) {
  const std::vector<float> record = Record();
  float* in = fftwf_alloc_real(kLength);
  fftwf_complex* out = fftwf_alloc_complex(kLength / 2 + 1);
  fftwf_plan plan = fftwf_plan_dft_r2c_1d(kLength, in, out, FFTW_MEASURE);
  std::copy(record.begin(), record.end(), in);
  for (auto _ : state) {
    fftwf_execute(plan);
    benchmark::DoNotOptimize(out[100][0]);
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(plan);
  fftwf_free(out);
  fftwf_free(in);
}
BENCHMARK(BM_FFTW_r2c);

}  // namespace
