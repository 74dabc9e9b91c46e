// Program entry. Until the window exists this runs a short demonstration of
// the spectrum analysis: a generated tone is analysed and its peak reported.

#include <cmath>
#include <cstdio>

#include "analysis/SignalAnalysis.h"
#include "measurement/MeasuringPoint.h"

using namespace quellmarin;

int main() {
  constexpr double kRate = 20000.0;
  constexpr double kTone = 1234.0;
  constexpr double kAmplitude = 3000.0;

  TComponent owner(nullptr);
  auto* point = new TSpectrumPoint(&owner);
  point->SetLength(2048);
  point->SetSampleTime(static_cast<float>(2048 / kRate));
  auto* fft = new TFFTAnalysis(&owner);
  fft->SetMPoint(point);
  fft->SetWindow(wtHanning);
  fft->SetDCDump(true);

  for (int i = 0; i < point->Length(); ++i)
    point->TimeSignal->Data[i] = static_cast<float>(170 + kAmplitude * std::sin(2 * M_PI * kTone * i / kRate));
  fft->Execute();

  const TSpectrum& s = *point->Spectrum;
  int peak = 1;
  for (int k = 1; k < s.Length; ++k)
    if (s.Amplitude[k] > s.Amplitude[peak]) peak = k;
  const double hz = s.LowFrequency + peak * s.HighFrequency / s.Length;
  std::printf("Quellmarin: a %.0f Hz tone of amplitude %.0f, analysed in %d samples at %.0f samples/s\n", kTone,
              kAmplitude, point->Length(), kRate);
  std::printf("spectrum peak: bin %d, %.1f Hz, amplitude %.1f\n", peak, hz, s.Amplitude[peak]);
  return 0;
}
